"""How long a CDN edge serves a manifest and a signature that do not belong together after a
release: nginx with proxy_cache (the edge) in front of an origin nginx, both on loopback over plain
HTTP, and a client that fetches the pair through the edge as launchers do, one new connection per
request, every 50 ms.

The edge's two entries are filled half a cache lifetime apart, as they are on a real CDN whose
many cache servers each fill their own copy whenever a request happens to reach them. Each row
publishes release 1.0.1 over 1.0.0 on the origin and prints for how long the sampled pair was a
manifest with another release's signature, and how long after the upload began the edge first
served the new release whole.

    /usr/bin/python3 bench/cache_window_bench.py [--ttl SECONDS] [--gap SECONDS]

Needs build/host (qvs-release); asserts only that every row ends with the new release served.
"""

import argparse
import dataclasses
import hashlib
import http.client
import pathlib
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "pylib"))
import qvs_process  # noqa: E402
import qvs_site  # noqa: E402
import nginx  # noqa: E402

NGINX = "/usr/sbin/nginx"
ORIGIN_ADDRESS = "127.0.0.2"
EDGE_ADDRESS = "127.0.0.3"
MANIFEST = "/downloads/client/stable.manifest"
SIGNATURE = "/downloads/client/stable.manifest.sig"
SAMPLE_INTERVAL = 0.05

ORIGIN = """\
    server {{
        listen {address}:{port};
        root {root};
{headers}
    }}
"""

EDGE = """\
    proxy_cache_path @PREFIX@/cache levels=1:2 keys_zone=edge:1m inactive=1d use_temp_path=off;
    server {{
        listen {address}:{port};
        location / {{
            proxy_pass http://{origin};
            proxy_http_version 1.1;
            proxy_cache edge;
            proxy_cache_revalidate on;
        }}
    }}
"""

# The same lifetime on every file: what "expires 1h" on a static site, or a CDN's default TTL, gives.
NAIVE = """\
        add_header Cache-Control "public, max-age={ttl}" always;
"""

# docs/publishing.md: the pair revalidated on every request, packages kept for a year.
RECOMMENDED = """\
        location = /downloads/client/stable.manifest { add_header Cache-Control "no-cache" always; }
        location = /downloads/client/stable.manifest.sig { add_header Cache-Control "no-cache" always; }
        location /downloads/client/packages/ {
            add_header Cache-Control "public, max-age=31536000, immutable" always;
        }
"""


def free_port(address):
    with socket.socket() as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


class Nginx:
    """nginx in the foreground with `body` as its http block (@PREFIX@ stands for its own folder),
    listening on address:port once constructed."""

    def __init__(self, body, address, port):
        self.prefix = pathlib.Path(tempfile.mkdtemp(prefix="qvs-bench-nginx-"))
        config = self.prefix / "nginx.conf"
        config.write_text(nginx.config_text(self.prefix, "    access_log off;\n" + body.replace("@PREFIX@", str(self.prefix)),
                                            error_level="warn"))
        self.process = subprocess.Popen([NGINX, "-p", str(self.prefix), "-e", str(self.prefix / "error.log"),
                                         "-c", str(config)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while True:
            try:
                with socket.create_connection((address, port), timeout=1):
                    return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError(f"nginx did not start on {address}:{port}")
                time.sleep(0.05)

    def stop(self):
        qvs_process.end(self.process)
        shutil.rmtree(self.prefix, ignore_errors=True)


def get(address, port, path):
    """One GET on a new connection, as the launcher makes each request: the body's digest."""
    connection = http.client.HTTPConnection(address, port, timeout=10)
    try:
        connection.request("GET", path, headers={"User-Agent": "Quorvantis Support Native Launcher/1.0"})
        response = connection.getresponse()
        body = response.read()
        return hashlib.sha256(body).hexdigest() if response.status == 200 else f"status {response.status}"
    finally:
        connection.close()


def upload(staging, origin_root, gap):
    """Puts the staged release onto the origin as an object store upload does, one file after the
    other, each replaced whole: the package, the manifest, then `gap` seconds later the signature."""
    manifest = staging.manifest.read_bytes()
    package = next(line[5:] for line in manifest.decode().splitlines() if line.startswith("path="))
    for relative in (package.lstrip("/"), MANIFEST.lstrip("/"), SIGNATURE.lstrip("/")):
        if relative == SIGNATURE.lstrip("/"):
            time.sleep(gap)
        target = origin_root / relative
        part = target.with_name(target.name + ".part")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(staging.root / relative, part)
        part.rename(target)


@dataclasses.dataclass
class Row:
    headers: str
    publishing: str
    mismatch_seconds: float
    mismatch_samples: int
    samples: int
    new_release_after: float


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def measure(workdir, tool, headers_name, headers, publishing, gap, ttl):
    """One row. `gap` None: qvs-release publish on the origin itself; else an upload with that gap."""
    origin_site = qvs_site.ReleaseSite(workdir / "origin", tool=tool)
    origin_site.publish("1.0.0", b"MZ release 1.0.0")
    staging = qvs_site.ReleaseSite(workdir / "staging", tool=tool)
    shutil.copytree(origin_site.root, staging.root, dirs_exist_ok=True)
    staging.publish("1.0.1", b"MZ release 1.0.1")
    old = (digest(origin_site.manifest), digest(origin_site.signature))

    origin_port, edge_port = free_port(ORIGIN_ADDRESS), free_port(EDGE_ADDRESS)
    origin = Nginx(ORIGIN.format(address=ORIGIN_ADDRESS, port=origin_port, root=origin_site.root.resolve(),
                                 headers=headers.replace("{ttl}", str(ttl))), ORIGIN_ADDRESS, origin_port)
    try:
        edge = Nginx(EDGE.format(address=EDGE_ADDRESS, port=edge_port, origin=f"{ORIGIN_ADDRESS}:{origin_port}"),
                     EDGE_ADDRESS, edge_port)
        try:
            # The edge's two entries, filled half a lifetime apart.
            get(EDGE_ADDRESS, edge_port, MANIFEST)
            time.sleep(ttl / 2)
            get(EDGE_ADDRESS, edge_port, SIGNATURE)
            time.sleep(1)

            # The release goes out while the client keeps sampling.
            if gap is None:
                publisher = threading.Thread(target=origin_site.publish, args=("1.0.1", b"MZ release 1.0.1"))
            else:
                publisher = threading.Thread(target=upload, args=(staging, origin_site.root, gap))
            published = time.monotonic()
            publisher.start()
            end = published + ttl + (gap or 0) + 3
            samples = []
            while time.monotonic() < end or publisher.is_alive():
                at = time.monotonic() - published
                pair = (get(EDGE_ADDRESS, edge_port, MANIFEST), get(EDGE_ADDRESS, edge_port, SIGNATURE))
                samples.append((at, pair))
                time.sleep(SAMPLE_INTERVAL)
            publisher.join()
            new = (digest(origin_site.manifest), digest(origin_site.signature))
        finally:
            edge.stop()
    finally:
        origin.stop()

    assert samples[-1][1] == new, f"{headers_name}, {publishing}: the edge never served the new release whole"
    mismatch_seconds, mismatch_samples = 0.0, 0
    for (at, pair), (next_at, _) in zip(samples, samples[1:] + [(samples[-1][0] + SAMPLE_INTERVAL, None)]):
        if pair not in (old, new):
            mismatch_samples += 1
            mismatch_seconds += next_at - at
    first_new = next(at for at, pair in samples if pair == new)
    return Row(headers_name, publishing, mismatch_seconds, mismatch_samples, len(samples), first_new)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ttl", type=int, default=30, help="the naive cache lifetime in seconds (default 30)")
    parser.add_argument("--gap", type=float, default=1.0,
                        help="seconds between the manifest and the signature upload (default 1)")
    parser.add_argument("--tool", type=pathlib.Path, default=qvs_site.qvs_wine.QVS_RELEASE)
    arguments = parser.parse_args()
    if not arguments.tool.exists():
        sys.exit(f"build qvs-release first (cmake --preset host && cmake --build --preset host): {arguments.tool}")

    naive = f"Cache-Control: public, max-age={arguments.ttl} on every file"
    recommended = "recommended: no-cache on the pair, packages immutable"
    cases = [
        (naive, NAIVE, "qvs-release publish on the origin", None),
        (naive, NAIVE, f"upload, signature {arguments.gap:g} s after manifest", arguments.gap),
        (recommended, RECOMMENDED, "qvs-release publish on the origin", None),
        (recommended, RECOMMENDED, f"upload, signature {arguments.gap:g} s after manifest", arguments.gap),
    ]
    workdir = pathlib.Path(tempfile.mkdtemp(prefix="qvs-cache-window-"))
    rows = []
    try:
        for index, (name, headers, publishing, gap) in enumerate(cases):
            rows.append(measure(workdir / str(index), arguments.tool, name, headers, publishing, gap, arguments.ttl))
            row = rows[-1]
            print(f"{row.headers:<58} {row.publishing:<40} mismatched pair served {row.mismatch_seconds:6.2f} s "
                  f"({row.mismatch_samples} of {row.samples} samples); new release whole after "
                  f"{row.new_release_after:6.2f} s", flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
