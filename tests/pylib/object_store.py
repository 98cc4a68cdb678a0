"""A real S3-compatible object store on loopback: Debian's Ceph as one monitor, one OSD that keeps
its objects in memory (memstore) and radosgw's beast frontend on 127.0.0.1, over HTTPS with the
test certificate and over plain HTTP, in a temporary folder without systemd. Started once per test
module; `requests()` reads radosgw's own log of the requests it answered, in order."""

import json
import pathlib
import re
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request
import uuid

import qvs_process

ACCESS_KEY = "QVSTESTPUBLISHERKEY1"
SECRET_KEY = "qvs-test-secret/6Lw0+publisher-only"
REGION = "us-east-1"

# radosgw's request log: one line per request it finished.
_BEAST_LINE = re.compile(r' beast: \S+ \S+ - (?P<user>\S+) \[[^\]]*\] "(?P<method>[A-Z]+) (?P<path>\S+) [^"]*" '
                         r'(?P<status>\d+) \S+ \S+ "(?P<agent>[^"]*)"')

CONFIG = """\
[global]
fsid = {fsid}
mon host = v2:127.0.0.1:{mon_port}
mon initial members = a
public addr = 127.0.0.1
ms bind ipv6 = false
auth cluster required = none
auth service required = none
auth client required = none
ms mon client mode = crc
osd objectstore = memstore
memstore device bytes = 2147483648
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
mon allow pool size one = true
mon warn on pool no redundancy = false
paxos propose interval = 0.01
paxos min wait = 0.01
run dir = {root}/run
admin socket = {root}/run/$name.asok
pid file = {root}/run/$name.pid
log file = {root}/log/$name.log
mon data = {root}/mon/$name
osd data = {root}/osd/$name
[client.rgw]
rgw frontends = beast endpoint=127.0.0.1:{http_port} ssl_endpoint=127.0.0.1:{https_port} \
ssl_certificate={cert} ssl_private_key={key}
debug rgw = 1
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class CephStore:
    """The store, started on construction; `stop` (or leaving the `with` block) ends every daemon
    and removes the folder. `credentials` are the publisher's, who owns every bucket made here."""

    def __init__(self, cert, key, startup_seconds=60):
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="qvs-ceph-"))
        self.http_port, self.https_port, mon_port = free_port(), free_port(), free_port()
        self.config = self.root / "ceph.conf"
        self._processes = []
        for folder in ("run", "log", "mon", "osd/osd.0"):
            (self.root / folder).mkdir(parents=True)
        fsid = str(uuid.uuid4())
        self.config.write_text(CONFIG.format(fsid=fsid, mon_port=mon_port, root=self.root, http_port=self.http_port,
                                             https_port=self.https_port, cert=pathlib.Path(cert).resolve(),
                                             key=pathlib.Path(key).resolve()))
        started = time.monotonic()
        try:
            self._run("monmaptool", "--create", "--fsid", fsid, "--addv", "a", f"[v2:127.0.0.1:{mon_port}]",
                      str(self.root / "monmap"), config=False)
            self._run("ceph-mon", "--mkfs", "-i", "a", "--monmap", str(self.root / "monmap"))
            self._spawn("mon", "ceph-mon", "-f", "-i", "a")
            self._run("ceph", "osd", "create")
            self._run("ceph-osd", "--mkfs", "-i", "0")
            self._spawn("osd", "ceph-osd", "-f", "-i", "0")
            self._spawn("rgw", "radosgw", "-f", "-n", "client.rgw")
            self._wait_for_gateway(started + startup_seconds)
            self._run("radosgw-admin", "-n", "client.rgw", "user", "create", "--uid=publisher",
                      "--display-name=publisher", f"--access-key={ACCESS_KEY}", f"--secret-key={SECRET_KEY}")
        except Exception:
            self.stop()
            raise
        self.start_seconds = time.monotonic() - started

    def _run(self, *command, config=True):
        options = ["-c", str(self.config)] if config else []
        done = subprocess.run([command[0], *options, *command[1:]], capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(command)}: {done.returncode}: {done.stderr[-2000:]}")
        return done.stdout

    def _spawn(self, name, *command):
        output = open(self.root / "log" / f"{name}.out", "wb")
        self._processes.append((subprocess.Popen([command[0], "-c", str(self.config), *command[1:]],
                                                 stdin=subprocess.DEVNULL, stdout=output, stderr=output), output))

    def _wait_for_gateway(self, deadline):
        while time.monotonic() < deadline:
            for process, _ in self._processes:
                if process.poll() is not None:
                    raise RuntimeError(f"{process.args[0]} ended at once: {self.log_tail()}")
            try:
                urllib.request.urlopen(f"{self.http_endpoint}/", timeout=2).close()
                return
            except urllib.error.HTTPError:
                return
            except OSError:
                time.sleep(0.2)
        raise RuntimeError(f"radosgw is not answering on {self.http_endpoint}: {self.log_tail()}")

    def log_tail(self):
        return "\n".join(path.read_text(errors="replace")[-2000:] for path in sorted((self.root / "log").iterdir()))

    @property
    def http_endpoint(self):
        return f"http://127.0.0.1:{self.http_port}"

    @property
    def https_endpoint(self):
        """Named as the test certificate names it."""
        return f"https://localhost:{self.https_port}"

    @property
    def credentials(self):
        return {"AWS_ACCESS_KEY_ID": ACCESS_KEY, "AWS_SECRET_ACCESS_KEY": SECRET_KEY}

    def client(self):
        """An independent S3 client (boto3) with the publisher's credentials, for what the tests set up
        and read back."""
        import boto3
        from botocore.config import Config
        return boto3.client("s3", endpoint_url=self.http_endpoint, aws_access_key_id=ACCESS_KEY,
                            aws_secret_access_key=SECRET_KEY, region_name=REGION,
                            config=Config(s3={"addressing_style": "path"}, retries={"max_attempts": 1}))

    def make_bucket(self, name, anonymous_reads=True):
        """A new bucket; with `anonymous_reads` a policy lets anyone get its objects (not list them)."""
        client = self.client()
        client.create_bucket(Bucket=name)
        if anonymous_reads:
            client.put_bucket_policy(Bucket=name, Policy=json.dumps({
                "Version": "2012-10-17",
                "Statement": [{"Effect": "Allow", "Principal": "*", "Action": ["s3:GetObject"],
                               "Resource": [f"arn:aws:s3:::{name}/*"]}]}))
        return name

    def listing(self, bucket, prefix=""):
        """Every object of the bucket below `prefix` as the listing gives it: key to (size, ETag)."""
        client = self.client()
        return {item["Key"]: (item["Size"], item["ETag"].strip('"'))
                for page in client.get_paginator("list_objects_v2").paginate(Bucket=bucket, Prefix=prefix)
                for item in page.get("Contents", [])}

    def objects(self, bucket, prefix=""):
        """Every object of the bucket below `prefix`: key to bytes."""
        client = self.client()
        return {key: client.get_object(Bucket=bucket, Key=key)["Body"].read() for key in self.listing(bucket, prefix)}

    def anonymous(self, method, bucket, key):
        """An unsigned request, as a CDN's fetch from the bucket is: (status, headers, body)."""
        request = urllib.request.Request(f"{self.http_endpoint}/{bucket}/{key}", method=method)
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return answer.status, dict(answer.headers), answer.read()
        except urllib.error.HTTPError as error:
            return error.code, dict(error.headers), error.read()

    def requests(self, agent="qvs-release"):
        """The requests radosgw finished so far whose user agent begins with `agent`, oldest first:
        (method, path, status). radosgw writes its log a little after it answers: this waits until the
        log has stopped growing."""
        log = self.root / "log" / "client.rgw.log"
        size, deadline = -1, time.monotonic() + 5
        while log.exists() and log.stat().st_size != size and time.monotonic() < deadline:
            size = log.stat().st_size
            time.sleep(0.25)
        text = log.read_text(errors="replace") if log.exists() else ""
        return [(match["method"], match["path"], int(match["status"]))
                for match in _BEAST_LINE.finditer(text) if match["agent"].startswith(agent)]

    def stop(self):
        for process, output in reversed(self._processes):
            qvs_process.end(process)
            output.close()
        self._processes = []
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
