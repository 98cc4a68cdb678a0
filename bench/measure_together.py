"""Counts what users meet when launchers start together or are killed while writing shortcuts, and
how long a second launcher waits behind a first. A measurement that prints figures, not a test:

    flock /tmp/qvs-port443.lock /usr/bin/python3 bench/measure_together.py [--scale 1.0]

--scale below 1 runs fewer trials (the figures then say how many). Needs the windows-test and host
builds; uses its own Wine prefix and nginx on 127.0.0.1:443."""

import argparse
import pathlib
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "pylib"))

import nginx  # noqa: E402
import pki as pki_module  # noqa: E402
import prefixes  # noqa: E402
import qvs_site  # noqa: E402
import tracing  # noqa: E402
from road import Road, dialogs, opens_shortcut  # noqa: E402



class Tally:
    def __init__(self, name):
        self.name, self.starts, self.dialogs, self.failed_codes, self.hosts, self.staging = name, 0, 0, 0, 0, 0
        self.texts = {}

    def add(self, road, codes, traces, hosts_before):
        self.starts += len(codes)
        self.failed_codes += sum(1 for code in codes if code != 0)
        for trace in traces:
            for dialog in dialogs(trace):
                self.dialogs += 1
                text = dialog.text.split("\n\n", 1)[-1]
                self.texts[text] = self.texts.get(text, 0) + 1
        self.hosts += len(road.host_starts()) - hosts_before
        self.staging += bool(road.staging_files())
        for leftover in road.data_folder.rglob("*.new"):  # counted once, not again in the next trial
            leftover.unlink()

    def line(self, trials):
        texts = "; ".join(f"{count}x {text!r}" for text, count in self.texts.items()) or "-"
        return (f"{self.name}: {self.starts} starts in {trials} trials: {self.dialogs} dialogs, "
                f"{self.failed_codes} exit codes other than 0, {self.hosts} hosts started, "
                f"trials leaving a .new in the data folder: {self.staging}; dialog texts: {texts}")


def installed_together(road, site, state, count, trials):
    tally = Tally(f"{count} installed at once, {state}")
    road.reset()
    site.publish("1.0.0")
    road.place_installed()
    if state != "empty store":
        road.start_installed()
    for trial in range(trials):
        if state == "empty store":
            road.forget_store()
        elif state == "new release published":
            site.publish(f"1.{trial + 1}.{count}")
        before = len(road.host_starts())
        codes, traces = road.start_together(road.installed, count)
        tally.add(road, codes, traces, before)
    return tally.line(trials)


def downloaded_together(road, site, count, trials):
    tally = Tally(f"{count} downloaded copies at once, first install")
    site.publish("1.0.0")
    for _ in range(trials):
        road.reset()
        codes, traces = road.start_together(road.download(), count)
        tally.add(road, codes, traces, 0)
    return tally.line(trials)


def shortcut_kills(road, site, kills):
    road.reset()
    site.publish("1.0.0")
    road.place_installed()
    road.start_installed()
    killed = unreadable = empty = 0
    for kill in range(kills):
        killed += road.kill_when_traced(road.installed, opens_shortcut, ["kernel32.CreateFileW",
                                                                          "kernelbase.CreateFileW"],
                                        occurrence=1 + kill % 2)
        for shortcut in (road.desktop_shortcut, road.start_menu_shortcut):
            empty += shortcut.exists() and shortcut.stat().st_size == 0
            unreadable += road.read_shortcut(shortcut) is None
    return (f"kills while a shortcut is rewritten: {killed} of {kills} landed; afterwards {unreadable} unreadable "
            f"shortcuts, {empty} of them 0 bytes (2 shortcuts checked after each kill)")


def lock_waits(trace):
    """Per process thread, the seconds its wait for the data folder's mutex took."""
    mutexes, waits = {}, []
    for call in tracing.traced_calls(trace):
        if call.name == "CreateMutexW":
            mutexes[call.thread] = call.result
        elif call.name == "WaitForSingleObject" and call.ended is not None and mutexes.get(call.thread):
            if int(call.arguments.split(",")[0], 16) == mutexes[call.thread]:
                waits.append(call.ended - call.started)
                mutexes.pop(call.thread)
    return waits


def second_waits(road, site, trials):
    road.reset()
    site.publish("1.0.0")
    road.place_installed()
    road.start_installed()
    relay = ["kernel32.CreateMutexW", "kernel32.WaitForSingleObject", "kernelbase.CreateMutexW",
             "kernelbase.WaitForSingleObject", "user32.MessageBoxW"]
    longer, shorter = [], []
    original = road.prefix.env

    def env(extra=None):
        extra = dict(extra or {})
        if extra.get("WINEDEBUG") == "+relay":
            extra["WINEDEBUG"] = "+timestamp,+relay"
        return original(extra)

    road.prefix.env = env
    try:
        for _ in range(trials):
            _, traces = road.start_together(road.installed, 2, relay=relay)
            waits = sorted(wait for trace in traces for wait in lock_waits(trace))
            if len(waits) == 2:
                shorter.append(waits[0])
                longer.append(waits[1])
    finally:
        road.prefix.env = original
    if not longer:
        return "second launcher's wait: not measured (no pair of waits found in the traces)"
    return (f"cached start, 2 at once, {len(longer)} trials: the second waits median "
            f"{statistics.median(longer) * 1000:.0f} ms (min {min(longer) * 1000:.0f}, max {max(longer) * 1000:.0f}); "
            f"the first median {statistics.median(shorter) * 1000:.0f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the full trial counts")
    parser.add_argument("--only", default="", help="comma-separated: pair,ten,downloaded,kills,wait")
    args = parser.parse_args()
    only = set(filter(None, args.only.split(",")))

    def trials(full):
        return max(1, round(full * args.scale))

    work = pathlib.Path(tempfile.mkdtemp(prefix="qvs-measure-"))
    pki = pki_module.make_pki(work / "pki")
    prefix = prefixes.trusting_prefix(pki.trusted.ca_der)
    site = qvs_site.ReleaseSite(work / "site")
    server = nginx.NginxServer(site.root, pki.trusted.server_cert, pki.trusted.server_key)
    road = Road(prefix)
    try:
        def report(name, function, *arguments):
            if not only or name in only:
                print(function(*arguments), flush=True)

        report("pair", installed_together, road, site, "empty store", 2, trials(10))
        for state in ("empty store", "release stored", "new release published"):
            report("ten", installed_together, road, site, state, 10, trials(10))
        report("downloaded", downloaded_together, road, site, 3, trials(10))
        report("kills", shortcut_kills, road, site, trials(30))
        report("wait", second_waits, road, site, trials(20))
    finally:
        server.stop()
        prefix.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
