"""The machine-wide lock around everything that uses 127.0.0.1:443, shared with other test runs."""

import contextlib
import fcntl
import os
import socket

LOCK_PATH = "/tmp/qvs-port443.lock"


def _held_by_an_ancestor(path):
    """Whether a process this one descends from holds the lock, as under `flock LOCK COMMAND`."""
    try:
        inode = os.stat(path).st_ino
        with open("/proc/locks") as locks:
            holders = {int(fields[4]) for fields in (line.split() for line in locks)
                       if len(fields) > 5 and fields[1] == "FLOCK" and fields[5].endswith(f":{inode}")}
    except (OSError, ValueError):
        return False
    pid = os.getpid()
    while pid > 1:
        if pid in holders:
            return True
        try:
            with open(f"/proc/{pid}/stat") as stat:
                pid = int(stat.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            return False
    return False


@contextlib.contextmanager
def port_443(path=LOCK_PATH, on_wait=None):
    """Holds the exclusive lock for the `with` block; while another run holds it, calls
    `on_wait()` once and waits. A run started under `flock LOCK ...` holds it already and goes on
    at once instead of waiting for itself."""
    if _held_by_an_ancestor(path):
        yield
        return
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
