"""Field trials of qvs-release publish: concurrent runs, interrupted runs and careless input, counted.

    /usr/bin/python3 bench/publish_trials.py [--concurrent N] [--interrupted N]

Uses the host build's qvs-release (or $QVS_RELEASE) and prints one line per kind of trial."""

import argparse
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "pylib"))
from qvs_publisher import (TEST_KEYS, TOOL, WITHOUT_PERMISSION_OVERRIDE, interrupt_publish, publish_at_once, publish_command, run_tool,  # noqa: E402
                      served_leftovers, unfinished_publish)

TEST_KEY = TEST_KEYS / "test_update_key.pub"


def served_pair_verifies(site):
    """What a launcher would find: the served descriptor, its signature and the package it names."""
    client = site / "downloads" / "client"
    try:
        path = next(line[5:] for line in (client / "stable.manifest").read_text().splitlines()
                    if line.startswith("path="))
    except (OSError, StopIteration):
        return False
    return run_tool("verify", "--public-key", TEST_KEY, client / "stable.manifest", client / "stable.manifest.sig",
                    site / path.lstrip("/")).returncode == 0


def concurrent(work, trials):
    site, failed_runs, inconsistent, leftovers = work / "concurrent", 0, 0, 0
    for trial in range(trials):
        releases = [(f"{trial}.{side}", work / f"c{trial}.{side}.exe") for side in (1, 2)]
        for version, package in releases:
            package.write_bytes(version.encode() + os.urandom(1 << 20))
        results = publish_at_once(site, releases)
        failed_runs += sum(result.returncode != 0 for result in results)
        inconsistent += run_tool("verify-site", site).returncode != 0 or not served_pair_verifies(site)
        leftovers += bool(served_leftovers(site) or unfinished_publish(site))
    print(f"two publishes of different versions at once: {trials} trials; {failed_runs} runs failed; "
          f"{inconsistent} inconsistent sites; {leftovers} with temporary files left")


def interrupted(work, trials):
    site, rng = work / "interrupted", random.Random(286)
    (work / "i0.exe").write_bytes(b"MZ 0")
    assert run_tool(*publish_command(site, "0", work / "i0.exe")[1:]).returncode == 0
    counts = {"served pair broken right after": 0, "unfinished publish left": 0, "temporary files under downloads/": 0,
              "temporary files left after Ctrl-C/SIGTERM": 0, "not mended by the next publish": 0}
    signals = {signal.SIGKILL: 0, signal.SIGINT: 0, signal.SIGTERM: 0}
    for trial in range(1, trials + 1):
        signal_number = rng.choice(list(signals))
        signals[signal_number] += 1
        package = work / f"i{trial}.exe"
        package.write_bytes(os.urandom(4 << 20))
        interrupt_publish(site, str(trial), package, signal_number, delay=rng.uniform(0, 0.7))
        counts["served pair broken right after"] += not served_pair_verifies(site)
        counts["unfinished publish left"] += bool(unfinished_publish(site))
        counts["temporary files under downloads/"] += bool(served_leftovers(site))
        counts["temporary files left after Ctrl-C/SIGTERM"] += signal_number != signal.SIGKILL and bool(
            unfinished_publish(site))
        package.write_bytes(b"MZ again" + os.urandom(64))
        mended = run_tool(*publish_command(site, f"{trial}.1", package)[1:]).returncode == 0
        counts["not mended by the next publish"] += not mended or run_tool("verify-site", site).returncode != 0
        package.unlink()
    kinds = ", ".join(f"{signal.Signals(number).name} {count}" for number, count in signals.items())
    print(f"publish interrupted: {trials} trials ({kinds}, after 0 to 0.7 s); " +
          "; ".join(f"{what}: {count}" for what, count in counts.items()))


def careless(work):
    site = work / "careless"
    (work / "host.exe").write_bytes(b"MZ host")
    assert run_tool(*publish_command(site, "1", work / "host.exe")[1:]).returncode == 0
    (work / "cwd").mkdir()
    (work / "empty.exe").write_bytes(b"")
    (work / "folder.exe").mkdir()
    os.mkfifo(work / "fifo.exe")
    (work / "locked.exe").write_bytes(b"MZ")
    (work / "locked.exe").chmod(0)
    key = ["--private-key", TEST_KEYS / "test_update_key.pem"]
    cases = [
        ("--site= empty", ["--site=", *key, "--version", "2", "--package", work / "host.exe"]),
        ("wrong private key", ["--site", site, "--private-key", TEST_KEYS / "other_key.pem", "--version", "2",
                               "--package", work / "host.exe"]),
        ("missing package", ["--site", site, *key, "--version", "2", "--package", work / "missing.exe"]),
        ("package of mode 0000", ["--site", site, *key, "--version", "2", "--package", work / "locked.exe"]),
        ("folder as package", ["--site", site, *key, "--version", "2", "--package", work / "folder.exe"]),
        ("FIFO as package", ["--site", site, *key, "--version", "2", "--package", work / "fifo.exe"]),
        ("device as package", ["--site", site, *key, "--version", "2", "--package", "/dev/zero"]),
        ("empty package", ["--site", site, *key, "--version", "2", "--package", work / "empty.exe"]),
        ("missing key", ["--site", site, "--private-key", work / "missing.pem", "--version", "2",
                         "--package", work / "host.exe"]),
        ("folder as key", ["--site", site, "--private-key", work / "folder.exe", "--version", "2",
                           "--package", work / "host.exe"]),
    ]
    for what, arguments in cases:
        before = sorted(str(path) for path in site.rglob("*"))
        try:
            prefix = WITHOUT_PERMISSION_OVERRIDE if what == "package of mode 0000" else []
            result = subprocess.run([*prefix, str(TOOL), "publish", *map(str, arguments)],
                                    capture_output=True, text=True, timeout=10, cwd=work / "cwd")
            outcome = f"exit {result.returncode}: {result.stderr.splitlines()[0] if result.stderr else '(nothing)'}"
        except subprocess.TimeoutExpired:
            outcome = "still waiting after 10 s"
        changed = sorted(str(path) for path in site.rglob("*")) != before or any((work / "cwd").iterdir())
        print(f"{what}: {outcome}{'; TREE CHANGED' if changed else ''}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--concurrent", type=int, default=100)
    parser.add_argument("--interrupted", type=int, default=100)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qvs-publish-trials-") as folder:
        work = pathlib.Path(folder)
        concurrent(work, arguments.concurrent)
        interrupted(work, arguments.interrupted)
        careless(work)


if __name__ == "__main__":
    main()
