"""Ending the servers and displays that tests and the demo start."""

import subprocess


def end(process, timeout=15):
    """Asks `process` to end, and kills it when it does not within `timeout` seconds."""
    if process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
