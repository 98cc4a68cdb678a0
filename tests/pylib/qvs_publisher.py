"""qvs-release driven as a publisher drives it, for its system tests and its field trials: the
tool under test, the test keys, and publishes run one at a time, together or interrupted."""

import os
import pathlib
import subprocess
import time

SOURCE_DIR = pathlib.Path(os.environ.get("QVS_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
TOOL = pathlib.Path(os.environ.get("QVS_RELEASE", SOURCE_DIR / "build" / "host" / "tools" / "qvs-release" / "qvs-release"))
TEST_KEYS = SOURCE_DIR / "tests" / "keys"
# Root reads a file of mode 0000 all the same; without these capabilities it meets the permissions.
WITHOUT_PERMISSION_OVERRIDE = (["setpriv", "--bounding-set=-dac_override,-dac_read_search"] if os.geteuid() == 0
                               else [])


def run_tool(*args, cwd=None):
    return subprocess.run([str(TOOL), *map(str, args)], capture_output=True, text=True, timeout=120, cwd=cwd)

def publish_command(site, version, package, private_key=TEST_KEYS / "test_update_key.pem", log_key=None, options=()):
    return [str(TOOL), "publish", "--private-key", str(private_key), "--site", str(site), "--version", version,
            "--package", str(package), *map(str, options)] + (["--log-key", str(log_key)] if log_key else [])

def publish_at_once(site, releases):
    """Starts one publish per (version, package) at the same moment; their CompletedProcess results."""
    # Either may come second, so either may be the lower version.
    processes = [subprocess.Popen(publish_command(site, version, package, options=["--allow-downgrade"]),
                                  stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True) for version, package in releases]
    results = []
    for process in processes:
        out, err = process.communicate(timeout=120)
        results.append(subprocess.CompletedProcess(process.args, process.returncode, out, err))
    return results

def interrupt_publish(site, version, package, signal_number, delay, log_key=None):
    """Starts a publish and sends it `signal_number` after `delay` seconds; its exit status and stdout."""
    process = subprocess.Popen(publish_command(site, version, package, log_key=log_key), stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    time.sleep(delay)
    process.send_signal(signal_number)
    out, _ = process.communicate(timeout=120)
    return process.returncode, out

def served_leftovers(site):
    """Files under downloads/ that are no release file: what a publish left half-done where it is served."""
    client = site / "downloads" / "client"

    def is_release_file(path):
        return (path in (client / "stable.manifest", client / "stable.manifest.sig", client / "log" / "checkpoint")
                or path.parent == client / "packages" and not path.name.startswith(".")
                or (client / "log" / "tile") in path.parents and not path.name.startswith(".")
                or path.parent == client / "log" / "proof" and len(path.name) == 64)

    return [str(path) for path in (site / "downloads").rglob("*") if path.is_file() and not is_release_file(path)]

def unfinished_publish(site):
    return [name for name in ("qvs-publish.staging", "qvs-publish.pending") if (site / name).exists()]
