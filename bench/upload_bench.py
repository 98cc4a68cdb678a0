"""How long `qvs-release upload` takes and how many requests it makes, against Ceph's radosgw on
loopback (HTTPS, one OSD in memory): a site whose log holds ENTRIES releases, its last package
SIZE bytes, uploaded whole into an empty bucket (the first upload), then the next release of the
same size (the second), then the same site once more (nothing to send). Also prints how long the
store took to start.

    /usr/bin/python3 bench/upload_bench.py [--entries 1000] [--size 16777216]

Needs build/tool (qvs-release as packaged: `bash scripts/package-tool.sh`) and Debian's ceph-mon, ceph-osd and radosgw; prints figures, judges
nothing but that each upload succeeds and leaves the bucket as the site.
"""

import argparse
import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "pylib"))

import object_store  # noqa: E402
import pki as pki_module  # noqa: E402

# The production build (scripts/package-tool.sh): the host preset's carries sanitizers.
BUILT_TOOL = SOURCE / "build" / "tool" / "tools" / "qvs-release" / "qvs-release"
TOOL = BUILT_TOOL  # a copy in the bench's folder, so that a rebuild meanwhile changes nothing
KEYS = SOURCE / "tests" / "keys"


def publish(site, version, package, name):
    subprocess.run([TOOL, "publish", "--private-key", KEYS / "test_update_key.pem", "--log-key",
                    KEYS / "test_log_key.pem", "--site", site, "--version", version, "--package", package,
                    "--name", name, "--quiet"], check=True, timeout=120)


def timed_upload(store, pki, site, bucket):
    started = time.monotonic()
    done = subprocess.run([TOOL, "upload", "--endpoint", store.https_endpoint, "--ca", pki.trusted.ca_cert, "--json",
                           site, f"s3://{bucket}"], capture_output=True, text=True, timeout=1800,
                          env={**os.environ, **store.credentials})
    seconds = time.monotonic() - started
    if done.returncode != 0:
        sys.exit(f"upload failed: {done.stderr}")
    return seconds, json.loads(done.stdout)


def main():
    global TOOL
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=1000)
    parser.add_argument("--size", type=int, default=16 << 20)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qvs-upload-bench-") as folder:
        folder = pathlib.Path(folder)
        pki = pki_module.make_pki(folder / "pki")
        TOOL = folder / "qvs-release"
        shutil.copy2(BUILT_TOOL, TOOL)
        site, small, large = folder / "site", folder / "small.exe", folder / "large.exe"
        small.write_bytes(os.urandom(4096))
        started = time.monotonic()
        for entry in range(1, arguments.entries):
            publish(site, f"1.0.{entry}", small, f"host-{entry}.exe")
        large.write_bytes(os.urandom(arguments.size))
        publish(site, f"1.0.{arguments.entries}", large, f"host-{arguments.entries}.exe")
        print(f"published {arguments.entries} releases in {time.monotonic() - started:.0f} s")
        with object_store.CephStore(pki.trusted.server_cert, pki.trusted.server_key) as store:
            print(f"store started: radosgw answered after {store.start_seconds:.1f} s")
            bucket = store.make_bucket("qvs-bench")
            rows = [("first upload (empty bucket)", *timed_upload(store, pki, site, bucket))]
            large.write_bytes(os.urandom(arguments.size))
            publish(site, f"1.0.{arguments.entries + 1}", large, f"host-{arguments.entries + 1}.exe")
            rows.append(("second release", *timed_upload(store, pki, site, bucket)))
            rows.append(("again, nothing new", *timed_upload(store, pki, site, bucket)))
            served = {path.relative_to(site).as_posix(): hashlib.md5(path.read_bytes()).hexdigest()
                      for path in (site / "downloads").rglob("*") if path.is_file()}
            stored = {key: etag for key, (size, etag) in store.listing(bucket).items()}
            if stored != served:
                sys.exit("the bucket does not hold the site")
        print(f"{'upload':<30} {'seconds':>8} {'objects sent':>13} {'MiB sent':>9} {'requests':>9}")
        for name, seconds, report in rows:
            print(f"{name:<30} {seconds:>8.2f} {report['objects_sent']:>13} {report['bytes_sent'] / 2**20:>9.1f} "
                  f"{report['requests']:>9}")


if __name__ == "__main__":
    main()
