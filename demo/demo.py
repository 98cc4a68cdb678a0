"""The demo: a user's whole road with the launcher, against a local HTTPS update service.

demo/run.sh builds what this needs into build/demo/ (the publisher tool, a launcher that trusts the
demo key, the sample host, the trust-ca and read-shortcut helpers) and then runs this with Debian's
python3. It publishes the sample host, serves it with nginx on 127.0.0.1:443 behind a demo CA that
only the demo Wine prefix trusts, and walks the road one start at a time, printing what happened
and the evidence for it. Everything it starts is ended on every path; build/demo/ keeps the
screenshot of the error dialog, demo.log and nginx's access log.
"""

import hashlib
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time
import traceback

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[1]
DEMO_DIR = SOURCE_DIR / "build" / "demo"

# The shared helpers find the programs through these; set before importing them.
os.environ["QVS_SOURCE_DIR"] = str(SOURCE_DIR)
os.environ["QVS_BUILD_DIR"] = str(DEMO_DIR / "launcher")
os.environ["QVS_HOST_TOOLS_DIR"] = str(DEMO_DIR / "host")
sys.dont_write_bytecode = True
sys.path.insert(0, str(SOURCE_DIR / "tests" / "pylib"))

import display as display_module  # noqa: E402
import nginx as nginx_module  # noqa: E402
import pki as pki_module  # noqa: E402
import port_lock  # noqa: E402
import qvs_site  # noqa: E402
import qvs_wine  # noqa: E402
import road as road_module  # noqa: E402
import tracing  # noqa: E402

VERSION = "1.0.0"
PRIVATE_KEY = DEMO_DIR / "demo-key.pem"
PUBLIC_KEY = DEMO_DIR / "demo-key.pub"
LOG_KEY = DEMO_DIR / "demo-log-key.pem"
HELPERS_DIR = DEMO_DIR / "helpers" / "tests" / "tools"
TRUST_CA = HELPERS_DIR / "trust-ca.exe"
READ_SHORTCUT = HELPERS_DIR / "read-shortcut.exe"
PREFIX_DIR = DEMO_DIR / "prefix"
PREFIX_MARKER = DEMO_DIR / "prefix.ready"
PKI_DIR = DEMO_DIR / "pki"
PKI_MARKER = PKI_DIR / "authority.json"
SCREENSHOT = DEMO_DIR / "error-dialog.png"
LOG = DEMO_DIR / "demo.log"
ACCESS_LOG = DEMO_DIR / "access.log"

REQUESTS = ["/downloads/client/stable.manifest", "/downloads/client/stable.manifest.sig"]
DIALOG_TEXT = road_module.DIALOG_LEAD + "The support update request failed."
TRACED = ["user32.MessageBoxW", "shell32.ShellExecuteExW", "winhttp.WinHttpOpen", "winhttp.WinHttpSendRequest",
          "bcrypt.BCryptVerifySignature", "bcrypt.BCryptHashData"]
STATUS_SUCCESS = 0


class DemoFailure(Exception):
    """The road did not go as it should; the message says where."""


def expect(condition, message):
    if not condition:
        raise DemoFailure(message)


class Progress:
    """One line per step, on the terminal and in demo.log."""

    def __init__(self, path):
        self._log = open(path, "w", encoding="utf-8")

    def line(self, text):
        print(text, flush=True)
        self._log.write(text + "\n")
        self._log.flush()

    def detail(self, text):
        """Only in the log: what helps to find a fault."""
        self._log.write(text + "\n")
        self._log.flush()

    def close(self):
        self._log.close()


def rel(path):
    path = pathlib.Path(path)
    try:
        return str(path.relative_to(SOURCE_DIR))
    except ValueError:
        return str(path)


def win(prefix, path):
    """A path inside the prefix as the Windows programs see it (C:\\...)."""
    relative = pathlib.Path(path).relative_to(prefix.root / "drive_c")
    return "C:\\" + "\\".join(relative.parts)


def sha256_text(data):
    return hashlib.sha256(data).hexdigest()


# --- the machine: keys, certificates, the release tree, the prefix --------------------------------

def demo_authority():
    """The demo CA and its localhost certificate, made once and reused."""
    if PKI_MARKER.exists():
        fields = json.loads(PKI_MARKER.read_text())
        authority = pki_module.Authority(**{name: pathlib.Path(value) for name, value in fields.items()})
        if all(pathlib.Path(value).exists() for value in fields.values()):
            return authority, True
    shutil.rmtree(PKI_DIR, ignore_errors=True)
    authority = pki_module.make_pki(PKI_DIR).trusted
    PKI_MARKER.write_text(json.dumps({name: str(value) for name, value in authority.__dict__.items()}))
    return authority, False


def stop_wineserver(root):
    """Ends the prefix's wineserver and every Wine process of the prefix."""
    if root.exists():
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=str(root)), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=False)


def demo_prefix(authority):
    """The demo user's Wine prefix, trusting the demo CA in its own Root store; reused while the CA
    is the same."""
    fingerprint = sha256_text(authority.ca_der.read_bytes())
    # A run that was killed outright can leave the prefix's persistent wineserver behind.
    stop_wineserver(PREFIX_DIR)
    reused = PREFIX_MARKER.exists() and PREFIX_MARKER.read_text() == fingerprint and PREFIX_DIR.exists()
    if not reused:
        PREFIX_MARKER.unlink(missing_ok=True)
        shutil.rmtree(PREFIX_DIR, ignore_errors=True)
    prefix = qvs_wine.WinePrefix(PREFIX_DIR)
    try:
        prefix.boot()
        if not reused:
            # Xvfb has no window manager: Wine then draws the dialog's caption bar itself.
            prefix.reg_add(r"HKCU\Software\Wine\X11 Driver", "Managed", "N")
            completed = prefix.run(TRUST_CA, qvs_wine.windows_path(authority.ca_der))
            expect(completed.returncode == 0, f"trust-ca failed ({completed.returncode}): {completed.stderr.strip()}")
            PREFIX_MARKER.write_text(fingerprint)
    except BaseException:
        prefix.close(remove=False)
        raise
    return prefix, reused, fingerprint


def publish_release(progress):
    site_root = DEMO_DIR / "site"
    shutil.rmtree(site_root, ignore_errors=True)
    # A release log beside the release, for auditors; launchers never ask for it.
    for stale in (LOG_KEY, LOG_KEY.with_suffix(".vkey")):
        stale.unlink(missing_ok=True)
    subprocess.run([str(qvs_wine.QVS_RELEASE), "keygen", "--log", "--log-origin", "localhost/downloads/client/log",
                    "--private-key", str(LOG_KEY), "--public-key", str(LOG_KEY.with_suffix(".vkey"))],
                   check=True, capture_output=True, timeout=60)
    site = qvs_site.ReleaseSite(site_root, private_key=PRIVATE_KEY, log_key=LOG_KEY)
    package = site.publish(VERSION)
    packages = sorted((site.manifest.parent / "packages").iterdir())
    expect(len(packages) == 1, f"expected one published package, found {[p.name for p in packages]}")
    checked = subprocess.run([str(qvs_wine.QVS_RELEASE), "verify", "--public-key", str(PUBLIC_KEY), str(site.manifest),
                              str(site.signature), str(packages[0])], capture_output=True, text=True, timeout=60)
    expect(checked.returncode == 0, f"qvs-release verify refused the release ({checked.returncode}): {checked.stderr}")
    logged = subprocess.run([str(qvs_wine.QVS_RELEASE), "verify-site", str(site_root)], capture_output=True, text=True,
                            timeout=60)
    expect(logged.returncode == 0 and "logged as entry 0 of localhost/downloads/client/log" in logged.stdout,
           f"qvs-release verify-site refused the site or its log ({logged.returncode}): {logged.stderr}")
    progress.line(f"publish: version {VERSION} of the sample host signed with the demo key ({rel(PRIVATE_KEY)}) into "
                  f"{rel(site_root)}: stable.manifest ({site.manifest.stat().st_size} bytes), stable.manifest.sig "
                  f"({site.signature.stat().st_size} bytes), packages/{packages[0].name} ({len(package)} bytes, "
                  f"SHA-256 {sha256_text(package)[:16]}...); qvs-release verify: exit 0; logged as entry 0 of the release "
                  f"log (log/checkpoint signed with {rel(LOG_KEY)}), verify-site: exit 0")
    return site, package, packages[0].name


# --- one start of the launcher and its evidence ------------------------------------------------

def launcher_pids(run):
    """Processes that used the update service client: the launcher copies that ran a refresh."""
    return {call.pid for call in run.of("winhttp.WinHttpOpen")}


def hashed_lengths(run, pid):
    """Byte counts passed to BCryptHashData by one process, in call order."""
    return [int(call.arguments.split(",")[2], 16) for call in run.of("bcrypt.BCryptHashData") if call.pid == pid]


def signature_results(run, pid):
    return [call.result for call in run.of("bcrypt.BCryptVerifySignature") if call.pid == pid]


def no_dialog(run, step):
    shown = [tracing.wide_strings(call.arguments) for call in run.of("user32.MessageBoxW")]
    expect(shown == [], f"{step}: the launcher showed an error dialog: {shown}")


def host_start_line(road, index):
    """The host's start log line `index` (0-based), fields separated by " | "."""
    lines = road.host_log.read_text(encoding="utf-8").splitlines()
    return lines[index].replace("\t", " | ")


def expect_host_started(road, count, step):
    starts = road.host_starts()
    expect(len(starts) == count, f"{step}: the host start log holds {len(starts)} starts, expected {count}")
    expected = f"\\versions\\{VERSION}\\QuorvantisSupportHost.exe"
    expect(starts[-1].module_path.lower().endswith(expected.lower()),
           f"{step}: the host ran from {starts[-1].module_path}, expected ...{expected}")
    return host_start_line(road, count - 1)


def request_summary(entries):
    return ", ".join(f"{entry.path} {entry.status}" for entry in entries)


def first_start(progress, road, server, package, package_name):
    step = "first start"
    downloaded = road.download()
    run = tracing.run_traced(road.prefix, downloaded, TRACED, cwd=downloaded.parent)
    prefix = road.prefix
    expect(run.returncode == 0, f"{step}: the downloaded launcher exited {run.returncode}")
    no_dialog(run, step)
    progress.line(f"[{step}] {win(prefix, downloaded)} (as a browser saves it) exited 0, no dialog")

    expect(road.installed.exists(), f"{step}: no installed copy at {road.installed}")
    expect(road.installed.read_bytes() == downloaded.read_bytes(), f"{step}: the installed copy differs")
    progress.line(f"[{step}] installed copy: {win(prefix, road.installed)} "
                  f"({road.installed.stat().st_size} bytes, identical to the download)")

    installed = win(prefix, road.installed)
    targets = []
    for shortcut in (road.desktop_shortcut, road.start_menu_shortcut):
        completed = prefix.run(READ_SHORTCUT, qvs_wine.windows_path(shortcut))
        expect(completed.returncode == 0, f"{step}: cannot read the shortcut {shortcut}")
        properties = dict(line.split("=", 1) for line in completed.stdout.splitlines() if "=" in line)
        expect(properties.get("target", "").lower() == installed.lower(),
               f"{step}: {shortcut.name} opens {properties.get('target')!r}, not the installed copy")
        expect(properties.get("arguments") == "", f"{step}: {shortcut.name} passes arguments")
        targets.append(win(prefix, shortcut))
    progress.line(f"[{step}] shortcuts: {targets[0]} and {targets[1]}, both open the installed copy "
                  f"without arguments (read back through IShellLinkW)")

    handovers = run.of("shell32.ShellExecuteExW")
    expect(handovers and handovers[0].result == 1, f"{step}: the downloaded copy did not start the installed copy")
    first_pid = handovers[0].pid
    refreshing = launcher_pids(run)
    expect(len(refreshing) == 1 and first_pid not in refreshing,
           f"{step}: expected one refresh, by the installed copy alone (processes {sorted(refreshing)})")
    progress.line(f"[{step}] hand-over: the downloaded copy started the installed copy (ShellExecuteExW) and exited "
                  f"without a request; the installed copy ran the refresh")

    entries = server.wait_for_entries(3)
    expected_paths = REQUESTS + [f"/downloads/client/packages/{package_name}"]
    expect([entry.path for entry in entries] == expected_paths,
           f"{step}: requests were {[entry.path for entry in entries]}, expected {expected_paths}")
    expect({entry.status for entry in entries} == {200}, f"{step}: not every request was answered 200")
    expect({entry.user_agent for entry in entries} == {road_module.AGENT}, f"{step}: unexpected user agent")
    progress.line(f"[{step}] refresh: 3 requests in nginx's access log, user agent \"{road_module.AGENT}\": "
                  f"{request_summary(entries)}")

    host = road.host_file(VERSION)
    current = road.store_file("current.txt").read_bytes()
    expect(current == VERSION.encode(), f"{step}: current.txt holds {current!r}")
    expect(host.read_bytes() == package, f"{step}: the stored host differs from the published package")
    expect(road.staging_files() == [], f"{step}: staging files left: {road.staging_files()}")
    progress.line(f"[{step}] release store: {win(prefix, road.data_folder)}\\ stable.manifest, stable.manifest.sig, "
                  f"current.txt (\"{current.decode()}\"), versions\\{VERSION}\\QuorvantisSupportHost.exe "
                  f"(identical to the published package); no staging file left")
    progress.line(f"[{step}] host started: {expect_host_started(road, 1, step)}")


def second_start(progress, road, server):
    step = "second start"
    host = road.host_file(VERSION)
    before = host.stat()
    count = len(server.entries())
    run = tracing.run_traced(road.prefix, road.installed, TRACED, cwd=road.data_folder)
    expect(run.returncode == 0, f"{step}: the installed launcher exited {run.returncode}")
    no_dialog(run, step)
    progress.line(f"[{step}] {win(road.prefix, road.installed)} (as its shortcut starts it) exited 0, no dialog")

    entries = server.wait_for_entries(count + 2)[count:]
    expect([entry.path for entry in entries] == REQUESTS,
           f"{step}: requests were {[entry.path for entry in entries]}, expected {REQUESTS}")
    after = host.stat()
    expect((after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns),
           f"{step}: the stored host was rewritten")
    progress.line(f"[{step}] package reused: 2 requests ({request_summary(entries)}), no package download; "
                  f"versions\\{VERSION}\\QuorvantisSupportHost.exe not rewritten (same inode and modification time)")
    progress.line(f"[{step}] host started: {expect_host_started(road, 2, step)}")


def cached_start(progress, road):
    step = "service stopped"
    expect(not port_lock.listening(), f"{step}: something listens on 127.0.0.1:443")
    run = tracing.run_traced(road.prefix, road.installed, TRACED, cwd=road.data_folder)
    expect(run.returncode == 0, f"{step}: the installed launcher exited {run.returncode}")
    no_dialog(run, step)
    pids = launcher_pids(run)
    expect(len(pids) == 1, f"{step}: expected one launcher process, saw {sorted(pids)}")
    pid = pids.pop()
    sends = [call.result for call in run.of("winhttp.WinHttpSendRequest") if call.pid == pid]
    expect(sends and all(result == 0 for result in sends), f"{step}: a request was sent ({sends})")
    progress.line(f"[{step}] nothing listens on 127.0.0.1:443; the refresh failed at once "
                  f"(WinHttpSendRequest returned FALSE), no request; the launcher exited 0, no dialog")

    verified = signature_results(run, pid)
    expect(verified == [STATUS_SUCCESS], f"{step}: signature checks of the cached release: {verified}")
    lengths = hashed_lengths(run, pid)
    package_size = road.host_file(VERSION).stat().st_size
    expect(package_size in lengths, f"{step}: the stored package ({package_size} bytes) was not hashed: {lengths}")
    progress.line(f"[{step}] cached release verified again: stored stable.manifest.sig checked "
                  f"(BCryptVerifySignature returned 0), SHA-256 over {' and '.join(map(str, lengths))} bytes "
                  f"(descriptor, package)")
    progress.line(f"[{step}] host started: {expect_host_started(road, 3, step)}")


def tampered_start(progress, road):
    step = "tampered store"
    host = road.host_file(VERSION)
    data = bytearray(host.read_bytes())
    offset = len(data) // 2
    old = data[offset]
    data[offset] ^= 0xFF
    host.write_bytes(bytes(data))
    progress.line(f"[{step}] changed 1 byte of {win(road.prefix, host)} at offset {offset} "
                  f"(0x{old:02x} -> 0x{data[offset]:02x}); the service is still stopped")

    expect(not port_lock.listening(), f"{step}: something listens on 127.0.0.1:443")
    # A Wine session binds its desktop to the display its first window met, and the earlier starts
    # had none (COM's hidden window): this start gets a session of its own, on the virtual display.
    road.prefix.wait_idle()
    stop_wineserver(road.prefix.root)
    with display_module.VirtualDisplay(DEMO_DIR / "xvfb.log") as screen:
        run = tracing.TracedRun(road.prefix, road.installed, TRACED, env={"DISPLAY": screen.name},
                                cwd=road.data_folder)
        try:
            window = screen.wait_for_window(road_module.DIALOG_CAPTION, alive=lambda: run.process.poll() is None)
            geometry = screen.window_geometry(window)
            path, colours = screen.screenshot(window, SCREENSHOT)
            expect(colours > 2, f"{step}: the dialog window stayed blank")
            progress.line(f"[{step}] error dialog on Xvfb display {screen.name}: window "
                          f"\"{road_module.DIALOG_CAPTION}\" ({geometry.get('WIDTH')}x{geometry.get('HEIGHT')}); "
                          f"screenshot: {rel(path)}")
            screen.press_return(window)
            run.wait(timeout=60)
        except BaseException:
            run.kill()
            raise
        finally:
            # End the session's services while their display still exists.
            stop_wineserver(road.prefix.root)

    dialogs = run.of("user32.MessageBoxW")
    expect(len(dialogs) == 1, f"{step}: {len(dialogs)} dialogs shown")
    text, caption = tracing.wide_strings(dialogs[0].arguments)[:2]
    style = int(dialogs[0].arguments.rsplit(",", 1)[1], 16)
    expect((text, caption, style) == (DIALOG_TEXT, road_module.DIALOG_CAPTION, road_module.DIALOG_STYLE),
           f"{step}: unexpected dialog {text!r} / {caption!r} / 0x{style:x}")
    pid = dialogs[0].pid
    verified = signature_results(run, pid)
    expect(verified == [STATUS_SUCCESS], f"{step}: signature checks of the cached release: {verified}")
    progress.line(f"[{step}] the cached release's signature still verifies (BCryptVerifySignature returned 0) but "
                  f"the package's digest differs, so nothing usable is stored; the dialog shows the refresh's own "
                  f"failure: \"{text.replace(chr(10), ' ').replace('  ', ' ')}\" (MessageBoxW style 0x{style:x}, "
                  f"MB_OK | MB_ICONERROR)")
    expect(run.returncode == 1, f"{step}: the launcher exited {run.returncode} after the dialog, expected 1")
    starts = len(road.host_starts())
    expect(starts == 3, f"{step}: the host was started ({starts} starts)")
    progress.line(f"[{step}] Return pressed with xdotool: the launcher exited 1; the host was not started "
                  f"(still 3 starts)")


# --- the walk ----------------------------------------------------------------------------------

def walk(progress, cleanup):
    site, package, package_name = publish_release(progress)

    authority, pki_reused = demo_authority()
    progress.line(f"certificates: demo CA {rel(authority.ca_cert)} and its localhost certificate "
                  f"{rel(authority.server_cert)}{' (reused)' if pki_reused else ''}")

    prefix, prefix_reused, fingerprint = demo_prefix(authority)
    cleanup.append(lambda: prefix.close(remove=False))
    progress.line(f"prefix: Wine prefix {rel(prefix.root)}{' (reused)' if prefix_reused else ''} trusts the demo CA "
                  f"(SHA-256 {fingerprint[:16]}...) in its own CurrentUser Root store, nowhere else")

    # Emptying Downloads below must never reach a folder outside the prefix.
    inside = prefix.root.resolve()
    for folder in (prefix.downloads, prefix.desktop):
        expect(not folder.is_symlink() and folder.resolve().is_relative_to(inside),
               f"prefix: {folder} leads outside the prefix")
    road = road_module.Road(prefix)
    road.reset()

    def waiting():
        progress.line(f"waiting: another run uses 127.0.0.1:443 (it holds {port_lock.LOCK_PATH})")

    with port_lock.port_443(on_wait=waiting):
        server = nginx_module.NginxServer(site.root, authority.server_cert, authority.server_key)
        try:
            progress.line(f"service: nginx serves {rel(site.root)} on https://localhost/ (127.0.0.1:443)")
            first_start(progress, road, server, package, package_name)
            second_start(progress, road, server)
        finally:
            if server.access_log.exists():
                shutil.copyfile(server.access_log, ACCESS_LOG)
            server.stop()
        progress.line(f"service: nginx stopped; its access log: {rel(ACCESS_LOG)}")

    with port_lock.port_443(on_wait=waiting):
        cached_start(progress, road)
    with port_lock.port_443(on_wait=waiting):
        tampered_start(progress, road)


def _terminate(signum, frame):
    raise KeyboardInterrupt(f"signal {signum}")


def main():
    started = time.monotonic()
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _terminate)
    DEMO_DIR.mkdir(parents=True, exist_ok=True)
    SCREENSHOT.unlink(missing_ok=True)
    progress = Progress(LOG)
    cleanup = []
    status = 1
    try:
        walk(progress, cleanup)
        progress.line(f"demo done in {time.monotonic() - started:.0f} s: screenshot {rel(SCREENSHOT)}, "
                      f"log {rel(LOG)}")
        status = 0
    except DemoFailure as failure:
        progress.line(f"demo FAILED: {failure}")
    except KeyboardInterrupt:
        progress.line("demo interrupted: cleaning up")
        status = 130
    except Exception as error:  # anything else: say what and where, then clean up
        progress.detail(traceback.format_exc())
        progress.line(f"demo FAILED: {type(error).__name__}: {error} (details in {rel(LOG)})")
    finally:
        # Ctrl-C again while cleaning up must not leave the prefix's wineserver behind.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        for step in reversed(cleanup):
            try:
                step()
            except Exception as error:
                progress.line(f"cleanup: {error}")
        progress.close()
    return status


if __name__ == "__main__":
    sys.exit(main())
