"""upload against a real S3-compatible server (Ceph's radosgw on loopback): the journal's order,
each object's headers, nothing replaced that never changes, a kill between any two requests
completed by the next run, and refusals that name the fault without ever printing a credential."""

import json
import os
import signal
import shutil
import subprocess
import uuid

import pytest

import object_store
from qvs_publisher import TEST_KEYS, TOOL, publish_command

CLIENT = "downloads/client"
IMMUTABLE = "public, max-age=31536000, immutable"


@pytest.fixture(scope="module")
def store(pki):
    with object_store.CephStore(pki.trusted.server_cert, pki.trusted.server_key) as started:
        print(f"radosgw answered {started.start_seconds:.1f} s after the start")
        yield started


@pytest.fixture
def bucket(store):
    return store.make_bucket(f"qvs-{uuid.uuid4().hex[:16]}")


def publish(site, version, size=4096, log=True):
    package = site.parent / f"package-{version}.exe"
    package.write_bytes(os.urandom(size))
    done = subprocess.run(publish_command(site, version, package, log_key=TEST_KEYS / "test_log_key.pem" if log else None,
                                          options=["--quiet"]), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


def upload_command(store, pki, site, destination, *options):
    return [str(TOOL), "upload", "--endpoint", store.https_endpoint, "--ca", str(pki.trusted.ca_cert), *map(str, options),
            str(site), destination]


def upload(store, pki, site, destination, *options, env=None):
    env = {**store.credentials, **(env or {})}
    done = subprocess.run(upload_command(store, pki, site, destination, *options), capture_output=True, text=True,
                          timeout=300, env={**os.environ, **env})
    assert not [value for value in env.values() if value in done.stdout + done.stderr], "a credential was printed"
    return done


def served_files(site):
    return {path.relative_to(site).as_posix(): path.read_bytes()
            for path in (site / "downloads").rglob("*") if path.is_file()}


def puts(store, bucket, since=0, prefix=""):
    """The keys below `prefix` written into `bucket` since the `since`-th request, in order, without
    the prefix."""
    start = f"/{bucket}/{prefix}"
    return [path[len(start):] for method, path, status in store.requests()[since:]
            if method == "PUT" and path.startswith(start) and status == 200]


def assert_journal_order(keys):
    """No descriptor before its package, no checkpoint before its tiles, the signature right after its
    descriptor; read off the order the server received the writes."""
    position = {key: index for index, key in enumerate(keys)}
    manifest, signature, checkpoint = (f"{CLIENT}/stable.manifest", f"{CLIENT}/stable.manifest.sig",
                                       f"{CLIENT}/log/checkpoint")
    immutable = [key for key in keys if key not in (manifest, signature, checkpoint)]
    for key in immutable:
        for later in (checkpoint, manifest, signature):
            assert position.get(later, len(keys)) > position[key], (key, later, keys)
    if manifest in position and signature in position:
        assert position[signature] == position[manifest] + 1, keys


def test_two_releases_reach_the_bucket_in_order_with_their_headers_and_nothing_twice(store, pki, bucket, tmp_path):
    site = tmp_path / "site"
    publish(site, "1.0.0")
    since = len(store.requests())
    first = upload(store, pki, site, f"s3://{bucket}")
    assert first.returncode == 0, first.stderr
    assert first.stdout.splitlines()[-1].startswith(f"Uploaded version 1.0.0 to s3://{bucket}: 7 objects")
    assert_journal_order(puts(store, bucket, since))
    assert store.objects(bucket) == served_files(site)

    publish(site, "1.1.0", size=16 << 20)
    since = len(store.requests())
    second = upload(store, pki, site, f"s3://{bucket}", "--json")
    assert second.returncode == 0, second.stderr
    report = json.loads(second.stdout)
    sent = puts(store, bucket, since)
    assert_journal_order(sent)
    assert sent == [item["key"] for item in report["objects"] if item["action"] != "skip"]
    assert f"{CLIENT}/packages/QuorvantisSupportHost-1.0.0.exe" not in sent
    assert sent[-3:] == [f"{CLIENT}/log/checkpoint", f"{CLIENT}/stable.manifest", f"{CLIENT}/stable.manifest.sig"]
    # One listing; the bucket's checkpoint and descriptor, read before they are replaced; one PUT an object.
    assert report["requests"] == 3 + len(sent)
    assert store.objects(bucket) == served_files(site)

    # Every object as a CDN meets it: readable without credentials, with its type and cache header.
    for key in served_files(site):
        status, headers, body = store.anonymous("HEAD", bucket, key)
        assert status == 200, key
        revalidated = key in (f"{CLIENT}/stable.manifest", f"{CLIENT}/stable.manifest.sig", f"{CLIENT}/log/checkpoint")
        assert headers["Cache-Control"] == ("no-cache" if revalidated else IMMUTABLE), key
        assert headers["Content-Type"] == ("text/plain" if key.endswith("checkpoint") else "application/octet-stream")
    assert store.anonymous("GET", bucket, "")[0] == 403  # no listing for anonymous clients

    since = len(store.requests())
    again = upload(store, pki, site, f"s3://{bucket}")
    assert again.returncode == 0, again.stderr
    assert "0 objects (0 bytes) sent" in again.stdout
    assert [method for method, _, _ in store.requests()[since:]] == ["GET"]


def test_a_kill_between_any_two_requests_is_completed_by_the_next_upload(store, pki, bucket, tmp_path):
    first_release = tmp_path / "site-1.0.0"
    site = tmp_path / "site"
    publish(site, "1.0.0")
    shutil.copytree(site, first_release)
    publish(site, "1.1.0")
    for step in range(8):  # killed after 0 to 7 of the 7 objects the second release sends
        destination = f"s3://{bucket}/kill{step}"
        assert upload(store, pki, first_release, destination).returncode == 0
        since = len(store.requests())
        process = subprocess.Popen(upload_command(store, pki, site, destination), stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True, env={**os.environ, **store.credentials})
        for _ in range(step):
            assert process.stdout.readline().startswith(("uploaded ", "replaced "))
        process.send_signal(signal.SIGKILL)
        process.communicate(timeout=60)
        last = upload(store, pki, site, destination)
        assert last.returncode == 0, last.stderr
        assert_journal_order(puts(store, bucket, since, prefix=f"kill{step}/"))
        assert store.objects(bucket, f"kill{step}/") == {f"kill{step}/{key}": data
                                                        for key, data in served_files(site).items()}


def other_bytes_in_bucket(store, bucket, site):
    client = store.client()
    key = f"{CLIENT}/packages/QuorvantisSupportHost-1.0.0.exe"
    client.put_object(Bucket=bucket, Key=key, Body=os.urandom((site / key).stat().st_size))
    return client


def deny_writes(store, bucket, site):
    store.client().put_bucket_policy(Bucket=bucket, Policy=json.dumps({"Version": "2012-10-17", "Statement": [
        {"Effect": "Deny", "Principal": "*", "Action": ["s3:PutObject"], "Resource": [f"arn:aws:s3:::{bucket}/*"]}]}))


def stop_a_publish(store, bucket, site):
    (site / "qvs-publish.pending").mkdir()
    (site / "qvs-publish.pending" / "stable.manifest").write_bytes(b"half a release")


@pytest.mark.parametrize("fault, destination, env, message", [
    (other_bytes_in_bucket, "s3://{bucket}", {},
     "downloads/client/packages/QuorvantisSupportHost-1.0.0.exe is in the bucket with other bytes than the site's"),
    (None, "s3://{bucket}", {"AWS_SECRET_ACCESS_KEY": "not-the-secret"},
     "the object store refused the credentials (status 403 SignatureDoesNotMatch)"),
    (None, "s3://{bucket}", {"AWS_ACCESS_KEY_ID": "QVSNOSUCHKEY", "AWS_SESSION_TOKEN": "token-0f3a"},
     "the object store refused the credentials (status 403 InvalidAccessKeyId)"),
    (None, "s3://qvs-no-such-bucket", {}, "has no bucket 'qvs-no-such-bucket' (status 404 NoSuchBucket)"),
    (deny_writes, "s3://{bucket}", {}, "the object store refused to write downloads/client/packages/"),
    (stop_a_publish, "s3://{bucket}", {}, "does not pass verify-site, so nothing was uploaded"),
])
def test_what_cannot_be_uploaded_is_refused_with_its_reason_and_no_credential(store, pki, bucket, tmp_path, fault,
                                                                              destination, env, message):
    site = tmp_path / "site"
    publish(site, "1.0.0")
    before = store.objects(bucket)
    if fault:
        fault(store, bucket, site)
        before = store.objects(bucket)
    since = len(store.requests())
    done = upload(store, pki, site, destination.format(bucket=bucket), env=env)
    assert done.returncode == 1
    assert message in done.stderr
    assert store.objects(bucket) == before
    if fault is not deny_writes:
        assert [method for method, _, _ in store.requests()[since:]] in ([], ["GET"])


def test_a_dry_run_reads_only_and_credentials_come_from_a_file_profile(store, pki, bucket, tmp_path):
    site = tmp_path / "site"
    publish(site, "1.0.0", log=False)
    credentials = tmp_path / "credentials"
    credentials.write_text(f"[default]\naws_access_key_id = wrong\naws_secret_access_key = wrong\n\n[release]\n"
                           f"aws_access_key_id = {object_store.ACCESS_KEY}\n"
                           f"aws_secret_access_key = {object_store.SECRET_KEY}\n")
    credentials.chmod(0o600)
    since = len(store.requests())
    dry = subprocess.run(upload_command(store, pki, site, f"s3://{bucket}", "--dry-run", "--credentials", credentials,
                                        "--profile", "release"), capture_output=True, text=True, timeout=120,
                         env={key: value for key, value in os.environ.items() if not key.startswith("AWS_")})
    assert dry.returncode == 0, dry.stderr
    assert dry.stdout.splitlines()[0] == (f"upload {CLIENT}/packages/QuorvantisSupportHost-1.0.0.exe (4096 bytes; "
                                          f"application/octet-stream; {IMMUTABLE})")
    assert dry.stdout.splitlines()[-1].startswith("Dry run: 3 of 3 objects (")
    assert {method for method, _, _ in store.requests()[since:]} == {"GET"}
    assert store.objects(bucket) == {}


def test_public_read_grants_anonymous_reads_object_by_object(store, pki, tmp_path):
    bucket = store.make_bucket("qvs-object-acl", anonymous_reads=False)
    site = tmp_path / "site"
    publish(site, "1.0.0", log=False)
    assert upload(store, pki, site, f"s3://{bucket}/without").returncode == 0
    assert store.anonymous("GET", bucket, f"without/{CLIENT}/stable.manifest")[0] == 403
    assert upload(store, pki, site, f"s3://{bucket}/with", "--public-read").returncode == 0
    status, _, body = store.anonymous("GET", bucket, f"with/{CLIENT}/stable.manifest")
    assert (status, body) == (200, (site / CLIENT / "stable.manifest").read_bytes())


@pytest.mark.parametrize("log, message", [
    (True, "the bucket serves a log of 2 entries and the site's has 1: the site "),
    (False, "the bucket serves version 1.1.0, higher than the site's 1.0.0: the site "),
])
def test_an_old_copy_of_the_site_does_not_take_the_bucket_back(store, pki, bucket, tmp_path, log, message):
    site, old_copy = tmp_path / "site", tmp_path / "old-copy"
    publish(site, "1.0.0", log=log)
    shutil.copytree(site, old_copy)
    publish(site, "1.1.0", log=log)
    assert upload(store, pki, site, f"s3://{bucket}").returncode == 0
    before = store.objects(bucket)
    stale = upload(store, pki, old_copy, f"s3://{bucket}")
    assert (stale.returncode, stale.stdout) == (1, "")
    assert message in stale.stderr
    assert store.objects(bucket) == before
    # A downgrade meant as one: the log still grows, and the older version is served again.
    downgrade = upload(store, pki, old_copy, f"s3://{bucket}", "--allow-downgrade")
    assert downgrade.returncode == (1 if log else 0), downgrade.stderr
    if not log:
        assert store.objects(bucket)[f"{CLIENT}/stable.manifest"] == (old_copy / CLIENT / "stable.manifest").read_bytes()
