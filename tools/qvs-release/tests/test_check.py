"""qvs-release check against nginx and the fault server on 127.0.0.1:443 behind the test CA: the
service held to the launcher's rules, its cache headers judged, and --wait for a settling CDN."""

import gzip
import hashlib
import json
import shutil
import subprocess

import pytest

import qvs_site
import qvs_wine
from fault_server import Response

import port_lock

KEYS = qvs_wine.SOURCE_DIR / "tests" / "keys"
CLIENT = "/downloads/client"
# What WinHTTP sends, measured under Wine (in the order User-Agent, Host, Connection).
LAUNCHER_HEADERS = {"User-Agent": "Quorvantis Support Native Launcher/1.0", "Host": "localhost",
                    "Connection": "Keep-Alive"}

# The headers docs/publishing.md recommends for the pair and the packages, then for the proofs.
PAIR_AND_PACKAGES = """
        location = /downloads/client/stable.manifest { add_header Cache-Control "no-cache" always; }
        location = /downloads/client/stable.manifest.sig { add_header Cache-Control "no-cache" always; }
        location /downloads/client/packages/ {
            add_header Cache-Control "public, max-age=31536000, immutable" always;
        }
"""
RECOMMENDED = PAIR_AND_PACKAGES + """
        location /downloads/client/log/proof/ {
            add_header Cache-Control "public, max-age=31536000, immutable" always;
        }
"""


@pytest.fixture(scope="module", autouse=True)
def port_443():
    """These run with the host tools, outside the Wine suites: take the machine's port-443 lock."""
    with port_lock.port_443():
        yield


def run_check(pki, *options):
    return subprocess.run([str(qvs_wine.QVS_RELEASE), "check", "--public-key", str(KEYS / "test_update_key.pub"),
                           "--ca", str(pki.trusted.ca_cert), *map(str, options), "localhost"],
                          capture_output=True, text=True, timeout=120)


def copy_release(source, target):
    """The files of `source`'s current release into `target`, package first, as an upload would."""
    manifest = source.manifest.read_bytes()
    path = next(line[5:] for line in manifest.decode().splitlines() if line.startswith("path="))
    for relative in (path.lstrip("/"), f"{CLIENT[1:]}/stable.manifest", f"{CLIENT[1:]}/stable.manifest.sig"):
        (target.root / relative).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source.root / relative, target.root / relative)


def correct(site):
    site.publish("1.0.0", b"MZ one")


def signed_with_another_key(site):
    qvs_site.ReleaseSite(site.root, private_key=KEYS / "other_key.pem").publish("1.0.0", b"MZ one")


def previous_signature(site):
    site.publish("1.0.0", b"MZ one")
    old = site.signature.read_bytes()
    site.publish("1.0.1", b"MZ two")
    site.signature.write_bytes(old)


def package_changed(site):
    site.publish("1.0.0", b"MZ one")
    site.package("QuorvantisSupportHost-1.0.0.exe").write_bytes(b"MZ 1ne")


def nothing_published(site):
    pass


@pytest.mark.parametrize("prepare, config, code, verdict, warning", [
    (correct, RECOMMENDED, 0, "The service serves version 1.0.0", None),
    (correct, "", 0, "launchers accept it", f"{CLIENT}/stable.manifest has no cache lifetime"),
    (signed_with_another_key, RECOMMENDED, 1, "The update signature is not trusted.", None),
    (previous_signature, RECOMMENDED, 1, "The update signature is not trusted.", None),
    (package_changed, RECOMMENDED, 3, "The package does not match its descriptor: its SHA-256", None),
    (nothing_published, RECOMMENDED, 1, "The support update service returned an unexpected response. (status 404)",
     None),
])
def test_check_holds_nginx_to_the_launchers_rules(pki, site, serve_tree, prepare, config, code, verdict, warning):
    prepare(site)
    serve_tree(site.root, config)
    result = run_check(pki)
    assert result.returncode == code, result.stdout + result.stderr
    assert verdict in (result.stdout if code == 0 else result.stderr)
    if warning:
        assert f"warning: {warning}" in result.stderr
    else:
        assert "warning:" not in result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(f"{CLIENT}/stable.manifest: ")
    assert lines[1].startswith(f"{CLIENT}/stable.manifest.sig: ")
    if code != 1:
        assert lines[2].startswith(f"{CLIENT}/packages/QuorvantisSupportHost-1.0.0.exe: 200, 6 bytes; Cache-Control: ")


def test_check_sees_redirects_and_compression_as_a_launcher_would(pki, tmp_path, fault_server):
    site = qvs_site.ReleaseSite(tmp_path / "site")
    site.publish("1.0.0", b"MZ one")
    fault_server.route(f"{CLIENT}/stable.manifest", Response(
        status=302, body=b"moved", headers=[("Location", "https://localhost/elsewhere")]))
    fault_server.route(f"{CLIENT}/stable.manifest.sig", Response(
        body=site.signature.read_bytes(), headers=[("Cache-Control", "no-cache")]))
    fault_server.route("/elsewhere", Response(body=site.manifest.read_bytes()))
    redirected = run_check(pki)
    assert redirected.returncode == 1
    assert f"{CLIENT}/stable.manifest: 302 (" in redirected.stdout
    assert "returned an unexpected response. (status 302)" in redirected.stderr
    assert "warning: /downloads/client/stable.manifest answers with a redirect (302 to https://localhost/elsewhere)" \
        in redirected.stderr
    assert "/elsewhere" not in [request.path for request in fault_server.requests]
    # The request is the launcher's: HTTP/1.1, its user agent, Host and Connection, nothing else.
    first = fault_server.requests[0]
    assert first.version == "HTTP/1.1"
    assert dict(first.headers) == LAUNCHER_HEADERS and len(first.headers) == len(LAUNCHER_HEADERS)

    fault_server.route(f"{CLIENT}/stable.manifest", Response(
        body=gzip.compress(site.manifest.read_bytes()),
        headers=[("Content-Encoding", "gzip"), ("Cache-Control", "no-cache")]))
    compressed = run_check(pki)
    assert compressed.returncode == 1
    assert "Content-Encoding: gzip" in compressed.stdout
    assert "warning: /downloads/client/stable.manifest comes compressed (Content-Encoding: gzip)" in compressed.stderr
    assert "The update signature is not trusted." in compressed.stderr


def test_wait_succeeds_once_the_service_holds_the_release(pki, tmp_path, serve_tree):
    served = qvs_site.ReleaseSite(tmp_path / "served")
    served.publish("1.0.0", b"MZ one")
    local = qvs_site.ReleaseSite(tmp_path / "site")
    copy_release(served, local)
    local.publish("1.0.1", b"MZ two")
    serve_tree(served.root, RECOMMENDED)

    never = run_check(pki, "--expect-site", local.root, "--wait", 2)
    assert never.returncode == 1
    assert "waiting: The service serves version 1.0.0" in never.stdout
    assert f"it is not the release in {local.root} (version 1.0.1): the served stable.manifest differs." \
        in never.stderr
    assert f"gave up after 2 s and 2 tries: the service does not serve the release in {local.root}" in never.stderr

    process = subprocess.Popen(
        [str(qvs_wine.QVS_RELEASE), "check", "--public-key", str(KEYS / "test_update_key.pub"), "--ca",
         str(pki.trusted.ca_cert), "--expect-site", str(local.root), "--wait", "60", "localhost"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = process.stdout.readline()
        assert first.startswith("waiting: The service serves version 1.0.0"), first
        copy_release(local, served)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 0, out + err
    assert f"launchers accept it, and it is the release in {local.root}." in out


def test_check_is_bounded_and_keeps_the_terminal_safe_from_a_hostile_server(pki, tmp_path, fault_server):
    site = qvs_site.ReleaseSite(tmp_path / "site")
    site.publish("1.0.0", b"MZ one")
    # Header values with terminal control sequences: a title change, a screen clear.
    hostile = "no-cache\x1b]0;owned\x07\x1b[2J"
    fault_server.route(f"{CLIENT}/stable.manifest.sig", Response(
        body=site.signature.read_bytes(), headers=[("Cache-Control", hostile)]))
    # Two bytes a second: 32 minutes for the manifest, unless a deadline ends the request.
    fault_server.route(f"{CLIENT}/stable.manifest", Response(
        body=site.manifest.read_bytes() + b"\n" * 4000, chunk_size=2, pause=1, headers=[("Cache-Control", hostile)]))
    for options in (["--timeout", 2], ["--wait", 2]):
        result = run_check(pki, *options)
        assert result.returncode == 1, result.stderr
        assert "no complete answer within 2 s, the deadline of this request" in result.stdout + result.stderr
        assert "\x1b" not in result.stdout + result.stderr
        assert "Cache-Control: no-cache\\x1b]0;owned\\x07\\x1b[2J" in result.stdout


def make_log_key(folder, name):
    subprocess.run([str(qvs_wine.QVS_RELEASE), "keygen", "--log", "--log-origin", "localhost/downloads/client/log",
                    "--private-key", str(folder / f"{name}.pem"), "--public-key", str(folder / f"{name}.vkey")],
                   check=True, capture_output=True)
    return folder / f"{name}.pem", folder / f"{name}.vkey"


def logged(site, log_key, other_key, tmp_path):
    site.publish("1.0.0", b"MZ one")
    site.publish("1.0.1", b"MZ two")
    return log_key


def replaced_by_an_unlogged_release(site, log_key, other_key, tmp_path):
    site.publish("1.0.0", b"MZ one")
    unlogged = qvs_site.ReleaseSite(tmp_path / "unlogged")
    unlogged.publish("1.0.1", b"MZ two")
    copy_release(unlogged, site)
    return log_key


def checkpoint_by_another_key(site, log_key, other_key, tmp_path):
    site.publish("1.0.0", b"MZ one")
    return other_key


def logged_for_launchers(site, log_key, other_key, tmp_path):
    """Both log keys sign; the monitor holds the site's key set, the launchers' P-256 key with it."""
    site.launcher_log_key = qvs_site.TEST_LAUNCHER_LOG_KEY
    logged(site, log_key, other_key, tmp_path)
    return site.root / "qvs-log-key.vkey"


def proof_of_the_previous_entry(site, log_key, other_key, tmp_path):
    site.launcher_log_key = qvs_site.TEST_LAUNCHER_LOG_KEY
    site.publish("1.0.0", b"MZ one")
    previous = site.proof(site.manifest.read_bytes(), site.signature.read_bytes()).read_bytes()
    site.publish("1.0.1", b"MZ two")
    site.proof(site.manifest.read_bytes(), site.signature.read_bytes()).write_bytes(previous)
    return site.root / "qvs-log-key.vkey"


@pytest.mark.parametrize("prepare, config, code, verdict, warning", [
    (logged, RECOMMENDED, 0, "launchers accept it, logged as entry 1 of 2.", None),
    (replaced_by_an_unlogged_release, RECOMMENDED, 1, "The served release is not in the log: the checkpoint of "
     "the log key localhost/downloads/client/log+", None),
    (checkpoint_by_another_key, RECOMMENDED, 1, "The served checkpoint is not signed by the log key "
     "localhost/downloads/client/log+", None),
    (logged_for_launchers, RECOMMENDED, 0, "logged as entry 1 of 2, with the proof launchers check.", None),
    (logged_for_launchers, PAIR_AND_PACKAGES, 0, "with the proof launchers check.",
     f"{CLIENT}/log/proof/"),
    (proof_of_the_previous_entry, RECOMMENDED, 1, "The log's tiles or proof do not give its signed checkpoint: ", None),
])
def test_check_requires_the_served_release_in_the_log(pki, site, serve_tree, tmp_path, prepare, config, code, verdict,
                                                       warning):
    (log_pem, log_vkey), (_, other_vkey) = make_log_key(tmp_path, "log"), make_log_key(tmp_path, "other")
    site.log_key = log_pem
    verifier = prepare(site, log_vkey, other_vkey, tmp_path)
    serve_tree(site.root, config)
    result = run_check(pki, "--log-public-key", verifier)
    assert result.returncode == code, result.stdout + result.stderr
    assert verdict in (result.stdout if code == 0 else result.stderr)
    assert f"{CLIENT}/log/checkpoint: 200" in result.stdout
    warnings = [line for line in result.stderr.splitlines() if line.startswith("warning: ")]
    if warning:
        assert len(warnings) == 1 and warnings[0].startswith(f"warning: {warning}"), result.stderr
        assert "a release's proof never changes" in warnings[0]
    else:
        assert warnings == [], result.stderr


def test_check_with_a_state_sees_a_rewritten_history(pki, site, serve_tree, tmp_path):
    log_pem, log_vkey = make_log_key(tmp_path, "log")
    site.log_key = log_pem
    site.publish("1.0.0", b"MZ one")
    site.publish("1.0.1", b"MZ two")
    serve_tree(site.root, RECOMMENDED)
    state = tmp_path / "log.state"
    first = run_check(pki, "--log-public-key", log_vkey, "--log-state", state)
    assert first.returncode == 0, first.stdout + first.stderr
    assert state.read_bytes() == (site.root / "downloads/client/log/checkpoint").read_bytes()
    site.publish("1.0.2", b"MZ three")
    grown = run_check(pki, "--log-public-key", log_vkey, "--log-state", state)
    assert grown.returncode == 0 and "logged as entry 2 of 3" in grown.stdout, grown.stdout + grown.stderr
    recorded = state.read_bytes()

    # The same log key, a new history of four releases: a log that only looks longer.
    for child in site.root.iterdir():
        shutil.rmtree(child) if child.is_dir() else child.unlink()
    for version in ("2.0.0", "2.0.1", "2.0.2", "2.0.3"):
        site.publish(version, version.encode())
    rewritten = run_check(pki, "--log-public-key", log_vkey, "--log-state", state)
    assert rewritten.returncode == 1, rewritten.stdout + rewritten.stderr
    assert "The log's history was rewritten: the served checkpoint (4 entries) does not extend the one recorded" \
        in rewritten.stderr
    assert state.read_bytes() == recorded
    # Without the state the rewritten log is consistent in itself: only a monitor's memory sees it.
    assert run_check(pki, "--log-public-key", log_vkey).returncode == 0


def run_audit(pki, *options, public_key=KEYS / "test_update_key.pub"):
    return subprocess.run([str(qvs_wine.QVS_RELEASE), "audit-log", "--public-key", str(public_key), "--ca",
                           str(pki.trusted.ca_cert), *map(str, options), "localhost"],
                          capture_output=True, text=True, timeout=120)


def test_audit_log_lists_every_logged_release_and_what_is_new(pki, site, serve_tree, tmp_path):
    log_pem, log_vkey = make_log_key(tmp_path, "log")
    site.log_key, site.launcher_log_key = log_pem, qvs_site.TEST_LAUNCHER_LOG_KEY
    packages = {version: site.publish(version, version.encode() * 3) for version in ("1.0.0", "1.0.1")}
    serve_tree(site.root, RECOMMENDED)
    state = tmp_path / "audit.state"
    # Every signature line it knows is verified: the site's key set names both log keys.
    first = run_audit(pki, "--log-public-key", site.root / "qvs-log-key.vkey", "--log-state", state)
    assert first.returncode == 0, first.stderr
    assert "its checkpoint is signed by the log keys localhost/downloads/client/log+" in first.stderr
    assert first.stderr.count("localhost/downloads/client/log+") == 2, first.stderr
    lines = first.stdout.splitlines()
    for index, (version, package) in enumerate(packages.items()):
        assert lines[index] == (f"{index} {version} {CLIENT}/packages/QuorvantisSupportHost-{version}.exe "
                                f"{len(package)} {hashlib.sha256(package).hexdigest()}")
    site.publish("1.0.2", b"MZ three")
    second = run_audit(pki, "--log-public-key", log_vkey, "--log-state", state)
    assert second.returncode == 0 and "New since the recorded checkpoint: entries 2 to 2" in second.stderr, second
    # Entries that the launchers' key did not sign are named, each one.
    foreign = run_audit(pki, "--log-public-key", log_vkey, public_key=KEYS / "other_key.pub")
    assert foreign.returncode == 1
    assert [line for line in foreign.stderr.splitlines() if line.startswith("entry ")] == [
        f"entry {index}: The update signature is not trusted." for index in range(3)]
    # Only the releases go to stdout; as JSON, each with the key that signed it.
    assert len(second.stdout.splitlines()) == 3
    report = json.loads(run_audit(pki, "--log-public-key", log_vkey, "--json").stdout)
    assert report["verified"] is True and report["size"] == 3 and report["failures"] == []
    assert [(entry["version"], entry["signed_by"]) for entry in report["entries"]] == [
        ("1.0.0", "update"), ("1.0.1", "update"), ("1.0.2", "update")]


def test_check_and_audit_log_accept_the_recovery_key_and_say_it_signed(pki, site, serve_tree, tmp_path):
    """Launchers built with a recovery key accept a release it signed; so do check and audit-log
    when given it, and both say which key signed."""
    log_pem, log_vkey = make_log_key(tmp_path, "log")
    site.private_key, site.log_key = KEYS / "test_recovery_key.pem", log_pem
    site.publish("1.0.0", b"MZ one")
    serve_tree(site.root, RECOMMENDED)
    recovery = ["--recovery-public-key", KEYS / "test_recovery_key.pub"]
    assert run_check(pki).returncode == 1
    accepted = run_check(pki, *recovery, "--log-public-key", log_vkey)
    assert accepted.returncode == 0, accepted.stderr
    assert "launchers accept it (signed by the recovery key), logged as entry 0 of 1." in accepted.stdout
    audit = run_audit(pki, "--log-public-key", log_vkey, *recovery)
    assert audit.returncode == 0, audit.stderr
    assert audit.stdout.splitlines()[0].endswith(" recovery")
    assert "holds 1 entry, signed with the update key or its recovery key" in audit.stderr
    assert run_audit(pki, "--log-public-key", log_vkey).returncode == 1


def test_check_in_a_pipeline_json_strict_quiet_connect_to_and_what_it_says_when_wrong(pki, site, serve_tree):
    site.publish("1.0.0", b"MZ one")
    serve_tree(site.root)  # no cache headers: a warning on each file
    plain = run_check(pki)
    assert plain.returncode == 0 and "warning: " in plain.stderr
    strict = run_check(pki, "--strict")
    assert strict.returncode == 1 and "qvs-release check: --strict: 3 warnings" in strict.stderr, strict.stderr
    report = json.loads(run_check(pki, "--json").stdout)
    assert report["accepted"] is True and report["exit_code"] == 0 and len(report["warnings"]) == 3
    assert [line.split(":")[0] for line in report["requests"]] == [
        f"{CLIENT}/stable.manifest", f"{CLIENT}/stable.manifest.sig", f"{CLIENT}/packages/QuorvantisSupportHost-1.0.0.exe"]
    assert json.loads(run_check(pki, "--json", "--strict").stdout)["exit_code"] == 1
    quiet = run_check(pki, "--quiet")
    assert quiet.returncode == 0 and quiet.stdout == ""
    # The address is taken from --connect-to, the name (and the certificate's) from HOST.
    assert run_check(pki, "--connect-to", "127.0.0.1:443").returncode == 0
    elsewhere = run_check(pki, "--connect-to", "127.0.0.1:9")
    assert elsewhere.returncode == 1 and "no response" in elsewhere.stdout
    # The wrong key is named beside the site's; a private CA is named as the fix.
    wrong = subprocess.run([str(qvs_wine.QVS_RELEASE), "check", "--public-key", str(KEYS / "other_key.pub"), "--ca",
                            str(pki.trusted.ca_cert), "--expect-site", str(site.root), "localhost"],
                           capture_output=True, text=True, timeout=120)
    assert wrong.returncode == 1
    for key in ("other_key.pub", "test_update_key.pub"):
        assert qvs_site.key_fingerprint(KEYS / key) in wrong.stderr, wrong.stderr
    untrusted = subprocess.run([str(qvs_wine.QVS_RELEASE), "check", "--public-key", str(KEYS / "test_update_key.pub"),
                                "localhost"], capture_output=True, text=True, timeout=120)
    assert untrusted.returncode == 1 and "trusted with --ca FILE" in untrusted.stdout + untrusted.stderr


def test_a_log_that_is_not_served_or_has_a_mistyped_origin_is_named(pki, site, serve_tree, tmp_path):
    subprocess.run([str(qvs_wine.QVS_RELEASE), "keygen", "--log", "--log-origin", "updates.exmaple.com/log",
                    "--private-key", str(tmp_path / "typo.pem"), "--public-key", str(tmp_path / "typo.vkey")],
                   check=True, capture_output=True)
    site.log_key = tmp_path / "typo.pem"
    site.publish("1.0.0", b"MZ one")
    shutil.rmtree(site.root / CLIENT[1:] / "log")
    serve_tree(site.root, RECOMMENDED)
    missing = run_check(pki, "--log-public-key", tmp_path / "typo.vkey")
    assert missing.returncode == 1
    assert "warning: the log's origin \"updates.exmaple.com/log\" does not begin with localhost" in missing.stderr
    assert f"upload the site's downloads/client/log/ folder as well, so that it is served under {CLIENT}/log/" \
        in missing.stderr, missing.stderr
