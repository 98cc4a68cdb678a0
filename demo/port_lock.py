"""The machine-wide lock around everything that uses 127.0.0.1:443, shared with other test runs."""

import contextlib
import fcntl
import os
import socket

LOCK_PATH = "/tmp/qvs-port443.lock"


@contextlib.contextmanager
def port_443(path=LOCK_PATH, on_wait=None):
    """Holds the exclusive lock for the `with` block; while another run holds it, calls
    `on_wait()` once and waits."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            if on_wait:
                on_wait()
            fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)  # also releases the lock


def listening(host="127.0.0.1", port=443):
    """Whether anything accepts a connection on host:port."""
    try:
        with socket.create_connection((host, port), timeout=2):
            return True
    except OSError:
        return False
