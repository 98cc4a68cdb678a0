"""Times the launcher's start paths beside the floor (bench/floor.cpp) under Wine, against nginx on
127.0.0.1:443 in a Wine prefix of its own. bench/run.sh builds what this needs and runs it with
Debian's python3. The four paths, how a start is timed and checked, and what the figures mean are
described once, in docs/design-notes.md ("Start-path benchmark"). Figures are printed and
written, never judged; a failed check ends the run without a table."""

import argparse
import ctypes
import json
import os
import pathlib
import shutil
import signal
import statistics
import subprocess
import sys
import time

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]
os.environ.setdefault("QVS_SOURCE_DIR", str(SOURCE_DIR))
sys.dont_write_bytecode = True
sys.path.insert(0, str(SOURCE_DIR / "tests" / "pylib"))

import nginx as nginx_module  # noqa: E402
import pki as pki_module  # noqa: E402
import port_lock  # noqa: E402
import prefixes  # noqa: E402
import qvs_host_log  # noqa: E402
import qvs_site  # noqa: E402
import qvs_wine  # noqa: E402
from road import Road  # noqa: E402

FLOOR = qvs_wine.BUILD_DIR / "bench" / "qvs-floor.exe"
SCENARIOS = ("cached", "first", "new", "offline", "road")
RUN_ORDER = ("first", "cached", "new", "road", "offline")  # each leaves what the next one starts from
DESCRIPTOR = "/downloads/client/stable.manifest"
SIGNATURE = "/downloads/client/stable.manifest.sig"
PROOF_PATH = "/downloads/client/log/proof/"
CHAIN_NAMES = ("QuorvantisSupp", "qvs-floor")
PR_SET_CHILD_SUBREAPER = 36
START_TIMEOUT = 120  # seconds; a start normally takes one or two
MIB = 1 << 20


class CheckFailed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise CheckFailed(what)


def become_subreaper():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def stat_fields(pid):
    """(state, parent pid, start time in clock ticks, name) of a process, zombies included (Wine
    names a process after its executable, cut to 15 characters); None if gone."""
    try:
        text = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    fields = text[text.rindex(")") + 2:].split()
    return fields[0], int(fields[1]), int(fields[19]), text[text.index("(") + 1:text.rindex(")")]


def is_chain_process(pid):
    try:
        command = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().decode("utf-8", "replace")
    except OSError:
        return False
    return any(name in command for name in CHAIN_NAMES)


def own_children():
    """Pids whose parent is this process, alive or zombie."""
    me = os.getpid()
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if entry.name.isdigit():
            fields = stat_fields(entry.name)
            if fields and fields[1] == me:
                found.append(int(entry.name))
    return found


class Chain:
    """One timed start: spawn, then reap every process of its chain as it ends."""

    def __init__(self, prefix, program, output):
        self.prefix = prefix
        self.program = program
        self.output = output

    def run(self, ignored, timeout=START_TIMEOUT):
        def give_up(*_):
            raise CheckFailed(f"{self.program}: the start did not end within {timeout} s")

        previous = signal.signal(signal.SIGALRM, give_up)
        signal.alarm(timeout)
        try:
            return self._run(ignored)
        finally:
            signal.alarm(0)
            signal.signal(signal.SIGALRM, previous)

    def _run(self, ignored):
        env = self.prefix.env({"QVS_BENCH_OUTPUT": str(self.output)})
        started = time.perf_counter()
        spawner = subprocess.Popen(
            ["/bin/sh", "-c", 'wine "$1" </dev/null >"$QVS_BENCH_OUTPUT" 2>&1 & echo $!', "sh", str(self.program)],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        first = int(spawner.stdout.readline())
        spawner.stdout.close()
        spawner.wait()
        reaped = {}
        exit_code = None
        while True:
            pid = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOWAIT).si_pid
            fields = stat_fields(pid)
            _, status, usage = os.wait4(pid, 0)
            if pid in ignored:
                ignored.discard(pid)
                continue
            # Wine may start its own services (explorer, rpcss) on a prefix's first starts; they
            # and their helpers are not part of the chain.
            if pid != first and not (fields and fields[3].startswith(CHAIN_NAMES)):
                continue
            reaped[pid] = (fields[2], usage.ru_maxrss)
            if pid == first:
                exit_code = os.waitstatus_to_exitcode(status)
            if exit_code is not None and not self._alive(ignored):
                break
        elapsed = time.perf_counter() - started
        order = [reaped[pid] for pid in sorted(reaped, key=lambda pid: reaped[pid][0])]
        # The host is the chain's last process: each one starts the next and then ends.
        launchers, host = (order[:-1], order[-1]) if len(order) > 1 else (order, (0, 0))
        return {"wall_ms": elapsed * 1000, "exit_code": exit_code, "processes": len(order),
                "launcher_max_rss_kib": max(rss for _, rss in launchers), "host_max_rss_kib": host[1]}

    @staticmethod
    def _alive(ignored):
        """Whether a process of the chain still runs. Other processes that Wine starts and leaves
        behind (none are expected) join `ignored` and are not waited for."""
        for pid in own_children():
            if pid in ignored:
                continue
            fields = stat_fields(pid)
            if fields is None:
                continue
            if fields[0] == "Z" or is_chain_process(pid):
                return True
            ignored.add(pid)
        return False


def package_bytes(version, mib):
    """The sample host padded to `mib` MiB (Windows ignores bytes after the image); never cut, so
    a size below the host's own (about 1.1 MiB) gives the host as it is."""
    data = qvs_site.sample_package(version)
    return data + b"\0" * max(0, mib * MIB - len(data))


class Bench:
    def __init__(self, args, programs):
        self.args = args
        self.programs = programs
        self.work = pathlib.Path(args.work).resolve()
        self.samples = []
        self.ignored = set()
        self.server = None
        self.baseline = None

    def run(self):
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        pki = pki_module.make_pki(self.work / "pki")
        self.prefix = prefixes.trusting_prefix(pki.trusted.ca_der, root=self.work / "prefix")
        self.road = Road(self.prefix)
        try:
            become_subreaper()
            self.ignored = set(own_children())
            for mib in self.args.sizes:
                self.run_size(mib, pki)
        finally:
            if self.server:
                self.server.stop()
            self.prefix.close()

    def run_size(self, mib, pki):
        logged = {"log_key": qvs_site.TEST_LOG_KEY, "launcher_log_key": qvs_site.TEST_LAUNCHER_LOG_KEY}
        site = qvs_site.ReleaseSite(self.work / f"site-{mib}", **(logged if self.args.logged else {}))
        # The release before the served one, as a store that has started it holds it: what a "new"
        # start begins from.
        previous = f"1.{mib}.0"
        previous_package = site.publish(previous, package_bytes(previous, mib))
        descriptor, signature = site.manifest.read_bytes(), site.signature.read_bytes()
        proof = site.proof(descriptor, signature)
        self.previous = {"version": previous, "package": previous_package, "stable.manifest": descriptor,
                         "stable.manifest.sig": signature, "proof": proof.read_bytes() if self.args.logged else None,
                         "proof_name": proof.name}
        version = f"1.{mib}.1"
        self.package = site.publish(version, package_bytes(version, mib))
        self.version = version
        self.package_path = f"/{qvs_site.CLIENT}/packages/"
        self.road.reset()
        with port_lock.port_443(on_wait=lambda: print("waiting for the port-443 lock ...", flush=True)):
            self.server = nginx_module.NginxServer(site.root, pki.trusted.server_cert, pki.trusted.server_key)
            self.ignored.update(own_children())
            for scenario in RUN_ORDER:
                if scenario == "offline":
                    self.server.stop()
                    self.server = None
                self.run_scenario(mib, scenario)
        if self.baseline is None:
            self.baseline = self.bare_starts()

    def bare_starts(self):
        """Wall times of the stored sample host started on its own: what any Wine process costs
        here, the floor below the floor."""
        walls = []
        for round_index in range(self.args.warmup + self.args.rounds):
            hosts_before = len(self.host_starts())
            sample = Chain(self.prefix, self.road.host_file(self.version), self.work / "program-output.txt").run(
                self.ignored)
            check(sample["exit_code"] == 0 and len(self.host_starts()) == hosts_before + 1,
                  "the sample host started alone did not record its start")
            if round_index >= self.args.warmup:
                walls.append(sample["wall_ms"])
                sample.update(scenario="host-alone", program="host", round=round_index - self.args.warmup)
                self.samples.append(sample)
        return walls

    def run_scenario(self, mib, scenario):
        count = len(self.programs)
        print(f"{mib:>2} MiB {scenario:<8}", end="", flush=True)
        for round_index in range(self.args.warmup + self.args.rounds):
            # A B A B ...: the order rotates each round so that no program always goes first.
            shift = round_index % count
            for label, program in self.programs[shift:] + self.programs[:shift]:
                sample = self.timed_start(scenario, label, program)
                if round_index >= self.args.warmup:
                    sample.update(size_mib=mib, package_bytes=len(self.package), scenario=scenario, program=label, round=round_index - self.args.warmup)
                    self.samples.append(sample)
            print(".", end="", flush=True)
        print(flush=True)

    def prepare(self, scenario, program):
        installed = self.road.installed
        if scenario == "road":
            self.road.reset()
            return self.road.download(source=program)
        if scenario in ("first", "new"):
            self.road.forget_store()
        if scenario == "new":
            self.store_previous_release()
        self.road.place_installed(source=program)
        return installed

    def store_previous_release(self):
        previous = self.previous
        host = self.road.host_file(previous["version"])
        host.parent.mkdir(parents=True)
        host.write_bytes(previous["package"])
        for name in ("stable.manifest", "stable.manifest.sig"):
            self.road.store_file(name).write_bytes(previous[name])
        if previous["proof"] is not None:
            self.road.store_file("proof").mkdir()
            self.road.store_file("proof", previous["proof_name"]).write_bytes(previous["proof"])
        self.road.store_file("current.txt").write_text(previous["version"])

    def timed_start(self, scenario, label, program):
        started_from = self.prepare(scenario, program)
        if scenario == "offline":
            check(not port_lock.listening(), "something answers on 127.0.0.1:443 during an offline start")
        log_before = len(self.server.entries()) if self.server else 0
        hosts_before = len(self.host_starts())
        sample = Chain(self.prefix, started_from, self.work / "program-output.txt").run(self.ignored)
        self.verify(scenario, label, program, sample, log_before, hosts_before)
        return sample

    def host_starts(self):
        return qvs_host_log.read_starts(qvs_host_log.log_path(self.prefix.local_app_data))

    def verify(self, scenario, label, program, sample, log_before, hosts_before):
        where = f"{label}, {scenario} start"
        check(sample["exit_code"] == 0, f"{where}: exit code {sample['exit_code']}")
        # Descriptor and signature; then, when the served pair is new to the store, its proof (a
        # launcher built with the log key) and its package.
        refreshes = scenario in ("first", "new", "road")
        expected = 0 if scenario == "offline" else 2 + refreshes * (1 + self.args.logged)
        if self.server:
            entries = self.server.wait_for_entries(log_before + expected, seconds=10)[log_before:]
            paths = [entry.path for entry in entries]
            check(len(entries) == expected, f"{where}: {len(entries)} requests instead of {expected}: {paths}")
            check(all(entry.status == 200 for entry in entries), f"{where}: a request failed: {entries}")
            check(paths[:2] == [DESCRIPTOR, SIGNATURE], f"{where}: unexpected requests {paths}")
            proofs = [path for path in paths[2:] if path.startswith(PROOF_PATH)]
            check(len(proofs) == (refreshes and self.args.logged), f"{where}: proof requests {proofs}")
            check(all(path.startswith(self.package_path) for path in paths[2:] if path not in proofs),
                  f"{where}: unexpected {paths}")
        if self.args.logged:
            check(any(self.road.store_file("proof").glob("*")), f"{where}: no proof stored")
        host = self.road.host_file(self.version)
        check(host.read_bytes() == self.package, f"{where}: the stored host differs from the published one")
        check(self.road.store_file("current.txt").read_bytes() == self.version.encode(), f"{where}: current.txt")
        starts = self.host_starts()[hosts_before:]
        check(len(starts) == 1, f"{where}: {len(starts)} host starts recorded instead of 1")
        check(starts[0].module_path.endswith(f"\\versions\\{self.version}\\QuorvantisSupportHost.exe"),
              f"{where}: the host started from {starts[0].module_path}")
        if scenario == "road":
            check(self.road.installed.read_bytes() == pathlib.Path(program).read_bytes(),
                  f"{where}: the installed copy is not the program started")
            check(self.road.desktop_shortcut.exists() and self.road.start_menu_shortcut.exists(),
                  f"{where}: a shortcut is missing")
            check(sample["processes"] == 3, f"{where}: {sample['processes']} processes instead of 3")
        else:
            check(sample["processes"] == 2, f"{where}: {sample['processes']} processes instead of 2")


def summarise(samples, programs, sizes):
    floor_label = programs[0][0]
    lines = ["", "wall time in ms (median, min-max); ratio: median over rounds of program / floor of the same round;",
             "peak: largest max RSS of the launcher's own processes, MiB", "",
             f"{'size':>6}  {'path':<8} {'program':<10} {'median':>8} {'min-max':>13} {'ratio':>6} {'peak':>7}"]
    for mib in sizes:
        for scenario in SCENARIOS:
            chosen = [s for s in samples if s.get("size_mib") == mib and s["scenario"] == scenario]
            if not chosen:
                continue
            floor_by_round = {s["round"]: s["wall_ms"] for s in chosen if s["program"] == floor_label}
            for label, _ in programs:
                mine = [s for s in chosen if s["program"] == label]
                walls = [s["wall_ms"] for s in mine]
                ratios = [s["wall_ms"] / floor_by_round[s["round"]] for s in mine if s["round"] in floor_by_round]
                peak = max(s["launcher_max_rss_kib"] for s in mine) / 1024
                size = mine[0]["package_bytes"] / MIB
                lines.append(f"{size:>5.1f}M   {scenario:<8} {label:<10} {statistics.median(walls):>8.0f} "
                             f"{min(walls):>6.0f}-{max(walls):<6.0f} {statistics.median(ratios):>6.2f} {peak:>7.1f}")
    return "\n".join(lines)


def parse_programs(values):
    programs = [("floor", FLOOR)]
    for value in values or [f"launcher={qvs_wine.LAUNCHER}"]:
        label, separator, path = value.partition("=")
        if not separator or not label or label == "floor":
            raise SystemExit(f"--launcher takes LABEL=PATH (LABEL not 'floor'): {value}")
        programs.append((label, pathlib.Path(path).resolve()))
    for label, path in programs:
        if not path.is_file():
            raise SystemExit(f"{label}: {path} is missing; bench/run.sh builds it")
    return programs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=10, help="timed rounds per path and size (default 10)")
    parser.add_argument("--warmup", type=int, default=1, help="untimed rounds first (default 1)")
    parser.add_argument("--sizes", type=lambda text: [int(size) for size in text.split(",")], default=[1, 4, 16],
                        help="package sizes in MiB, comma-separated, at most 16 (default 1,4,16)")
    parser.add_argument("--launcher", action="append", metavar="LABEL=PATH",
                        help="a launcher to time (repeatable; default: launcher=the build's launcher)")
    parser.add_argument("--logged", action="store_true",
                        help="the launchers (and the floor) are built with the release log's key: the site logs every "
                             "release with a proof (bench/run.sh --logged builds them)")
    parser.add_argument("--work", default=str(qvs_wine.BUILD_DIR / "bench-run"), help="scratch folder")
    parser.add_argument("--out", default=None, help="raw samples, one JSON object a line (default: WORK/samples.jsonl)")
    args = parser.parse_args()
    if args.rounds < 1 or args.warmup < 0 or not all(1 <= size <= 16 for size in args.sizes):
        parser.error("rounds >= 1, warmup >= 0, sizes from 1 to 16 MiB")
    programs = parse_programs(args.launcher)
    out = pathlib.Path(args.out or pathlib.Path(args.work) / "samples.jsonl").resolve()

    print(f"programs: {', '.join(f'{label}={path}' for label, path in programs)}")
    print(f"release log check: {'on' if args.logged else 'off'}; "
          f"{args.rounds} rounds (+{args.warmup} warm-up) per path and size; load average {os.getloadavg()[0]:.2f}")
    bench = Bench(args, programs)
    try:
        bench.run()
    except CheckFailed as failure:
        print(f"\nCHECK FAILED, no figures: {failure}", file=sys.stderr)
        return 1
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("".join(json.dumps(sample) + "\n" for sample in bench.samples))
    print(summarise(bench.samples, programs, args.sizes))
    print(f"\nthe sample host started alone (a bare Wine process start): median {statistics.median(bench.baseline):.0f} ms, "
          f"{min(bench.baseline):.0f}-{max(bench.baseline):.0f}")
    print(f"\nload average afterwards {os.getloadavg()[0]:.2f}; raw samples: {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
