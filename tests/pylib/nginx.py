"""Debian's nginx serving a folder on 127.0.0.1:443 over TLS, with its own prefix and config.

The folder is the static tree the publisher tool writes (downloads/client/...). Each request is
logged as one JSON line (method, path, status, bytes sent, user agent, accept) for assertions.
"""

import dataclasses
import json
import os
import pathlib
import shutil
import socket
import subprocess
import tempfile
import time

import qvs_process

NGINX = "/usr/sbin/nginx"
LOOPBACK = "127.0.0.1"
HTTPS_PORT = 443


def config_text(prefix, http, error_level="info"):
    """A whole nginx.conf for a foreground nginx that keeps everything it writes inside `prefix`,
    with `http` as the rest of its http block."""
    # Workers as root, like the master, when that is who runs this: they write into our folders.
    user = "user root;\n" if os.geteuid() == 0 else ""
    temp_paths = "\n".join(f"    {kind}_temp_path {prefix}/{kind};"
                            for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    return (f"{user}worker_processes 1;\ndaemon off;\npid {prefix}/nginx.pid;\n"
            f"error_log {prefix}/error.log {error_level};\nevents {{ worker_connections 64; }}\n"
            f"http {{\n    default_type application/octet-stream;\n{temp_paths}\n{http}}}\n")


SERVER = """\
    log_format qvs escape=json '{{"method":"$request_method","path":"$request_uri","status":$status,'
                               '"bytes":$body_bytes_sent,"user_agent":"$http_user_agent",'
                               '"accept":"$http_accept","protocol":"$server_protocol"}}';
    access_log {prefix}/access.log qvs;
    server {{
        listen {host}:{port} ssl;
        server_name localhost;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        root {root};
        autoindex off;
{server_config}
    }}
"""


@dataclasses.dataclass(frozen=True)
class AccessEntry:
    method: str
    path: str
    status: int
    bytes: int
    user_agent: str
    accept: str
    protocol: str


class NginxServer:
    """Starts nginx in the foreground on construction; `stop` (or leaving the `with` block) ends
    it and removes its prefix."""

    def __init__(self, root, cert, key, host=LOOPBACK, port=HTTPS_PORT, startup_seconds=20, server_config="",
                 http_config=""):
        """`server_config`: more directives for the server block (locations, headers); `http_config`
        for the http block around it (a proxy cache's path), where @PREFIX@ names nginx's prefix."""
        self.root = pathlib.Path(root).resolve()
        self.prefix = pathlib.Path(tempfile.mkdtemp(prefix="qvs-nginx-"))
        self.config = self.prefix / "nginx.conf"
        self.access_log = self.prefix / "access.log"
        self.error_log = self.prefix / "error.log"
        self.config.write_text(config_text(self.prefix, http_config.replace("@PREFIX@", str(self.prefix)) + SERVER.format(
            prefix=self.prefix, host=host, port=port, root=self.root, cert=pathlib.Path(cert).resolve(),
            key=pathlib.Path(key).resolve(), server_config=server_config)))
        self._stderr = open(self.prefix / "stderr.txt", "wb")
        self._process = subprocess.Popen(
            [NGINX, "-p", str(self.prefix), "-e", str(self.error_log), "-c", str(self.config)],
            stdin=subprocess.DEVNULL, stdout=self._stderr, stderr=self._stderr)
        try:
            self._wait_until_listening(host, port, startup_seconds)
        except Exception:
            self.stop()
            raise

    def _wait_until_listening(self, host, port, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                raise RuntimeError(f"nginx ended at once ({self._process.returncode}): {self._log_text()}")
            try:
                with socket.create_connection((host, port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError(f"nginx is not listening on {host}:{port}: {self._log_text()}")

    def _log_text(self):
        texts = []
        for path in (self.prefix / "stderr.txt", self.error_log):
            if path.exists():
                texts.append(path.read_text(errors="replace"))
        return "\n".join(texts)

    def entries(self):
        """The access log so far, oldest first."""
        if not self.access_log.exists():
            return []
        lines = self.access_log.read_text().splitlines()
        return [AccessEntry(**json.loads(line)) for line in lines if line.strip()]

    def wait_for_entries(self, count, seconds=10):
        """The access log once it holds at least `count` entries; nginx writes an entry when it
        finishes a request, which can trail the client's exit a little."""
        deadline = time.monotonic() + seconds
        while True:
            entries = self.entries()
            if len(entries) >= count or time.monotonic() >= deadline:
                return entries
            time.sleep(0.05)

    def stop(self):
        qvs_process.end(self._process)
        self._stderr.close()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
