"""A user's machine for the end-to-end tests: a Wine prefix trusting the test CA, the launcher as
downloaded, and what the sample host recorded of its starts."""

import contextlib
import dataclasses
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import qvs_host_log
import qvs_wine
import tracing

DATA_FOLDER_NAMES = ("Quorvantis Software", "QVS Support")
INSTALLED_NAME = "QuorvantisSupport.exe"
SHORTCUT_NAME = "Quorvantis Support.lnk"
SHORTCUT_DESCRIPTION = "Start an attended Quorvantis Support session"
DIALOG_CAPTION = "Quorvantis Support"
DIALOG_LEAD = "Quorvantis Support could not start securely.\n\n"
DIALOG_STYLE = 0x10010  # MB_OK | MB_ICONERROR | MB_SETFOREGROUND
READ_SHORTCUT = qvs_wine.BUILD_DIR / "tests" / "tools" / "read-shortcut.exe"
FILE_SCANNER = qvs_wine.BUILD_DIR / "tests" / "tools" / "file-scanner.exe"
AGENT = "Quorvantis Support Native Launcher/1.0"


@dataclasses.dataclass(frozen=True)
class Dialog:
    owner: int
    text: str
    caption: str
    style: int


def dialogs(trace):
    """Every MessageBoxW call in a relay trace."""
    shown = []
    for call in tracing.traced_calls(trace):
        if call.name == "MessageBoxW":
            text, caption = call.strings[:2]
            shown.append(Dialog(int(call.arguments.split(",", 1)[0], 16), text, caption,
                                int(call.arguments.rsplit(",", 1)[1], 16)))
    return shown


def opens_shortcut(call):
    """A traced CreateFileW of a shortcut or of its staging file."""
    return call.name == "CreateFileW" and any(SHORTCUT_NAME in text for text in call.strings[:1])


@dataclasses.dataclass
class Release:
    """One published release as the service serves it."""
    version: str
    package: bytes
    descriptor: bytes
    signature: bytes


class Road:
    def __init__(self, prefix):
        self.prefix = prefix

    @property
    def data_folder(self):
        return self.prefix.data_folder

    @property
    def installed(self):
        return self.data_folder / INSTALLED_NAME

    @property
    def desktop_shortcut(self):
        return self.prefix.desktop / SHORTCUT_NAME

    @property
    def start_menu_shortcut(self):
        return self.prefix.programs / "Quorvantis Software" / SHORTCUT_NAME

    @property
    def host_log(self):
        return qvs_host_log.log_path(self.prefix.local_app_data)

    def store_file(self, *parts):
        return self.data_folder.joinpath(*parts)

    def host_file(self, version):
        return self.data_folder / "versions" / version / "QuorvantisSupportHost.exe"

    def reset(self):
        """A user who never ran the launcher: no data folder, shortcuts, host log or downloads."""
        self.prefix.wait_idle()
        # Never empty a folder that leads out of the prefix (Wine links user folders to $HOME).
        for folder in (self.prefix.downloads, self.prefix.desktop):
            assert not folder.is_symlink() and folder.resolve().is_relative_to(self.prefix.root.resolve()), folder
        for path in (self.prefix.local_app_data / "Quorvantis Software", self.prefix.programs / "Quorvantis Software"):
            shutil.rmtree(path, ignore_errors=True)
        self.desktop_shortcut.unlink(missing_ok=True)
        for entry in self.prefix.downloads.glob("*"):
            if entry.is_dir():
                shutil.rmtree(entry)
            else:
                entry.unlink()

    def forget_store(self):
        """The installed copy alone, as after a first start without network."""
        for name in ("stable.manifest", "stable.manifest.sig", "current.txt"):
            self.store_file(name).unlink(missing_ok=True)
        for name in ("versions", "proof"):
            shutil.rmtree(self.store_file(name), ignore_errors=True)

    def download(self, name=INSTALLED_NAME, source=qvs_wine.LAUNCHER):
        """The launcher as a browser leaves it in the Downloads folder."""
        self.prefix.downloads.mkdir(parents=True, exist_ok=True)
        target = self.prefix.downloads / name
        shutil.copyfile(source, target)
        return target

    def place_installed(self, source=qvs_wine.LAUNCHER):
        """The launcher at its installed path, as a first start from Downloads leaves it, so that the
        next start refreshes at once (no hand-over)."""
        self.data_folder.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, self.installed)
        return self.installed

    def start(self, program, *args, relay=None, env=None, cwd=None, wrapper=()):
        """Starts `program` as a double-click would and waits until it and whatever it started end."""
        completed = self.prefix.run(program, *args, relay=relay, env=env, cwd=cwd, wrapper=wrapper)
        self.prefix.wait_idle()
        return completed

    def start_installed(self, relay=("user32.MessageBoxW",), env=None, wrapper=()):
        """Starts the installed copy (as its shortcut does), tracing the error dialog."""
        return self.start(self.installed, relay=list(relay) if relay else None, env=env, wrapper=wrapper)

    def start_together(self, program, count, relay=("user32.MessageBoxW",), timeout=300):
        """Starts `program` `count` times at the same moment, as quick clicks do, and waits until all
        of them and whatever they started end. Returns each start's exit code and trace (which holds
        the installed copy it handed over to, as well)."""
        self.prefix.set_relay_include(list(relay))
        env = self.prefix.env({"WINEDEBUG": "+relay"})
        traces = [tempfile.TemporaryFile() for _ in range(count)]
        try:
            processes = [subprocess.Popen(["wine", str(program)], env=env, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.DEVNULL, stderr=trace) for trace in traces]
            codes = [process.wait(timeout=timeout) for process in processes]
            self.prefix.wait_idle(timeout=timeout)
            texts = []
            for trace in traces:
                trace.seek(0)
                texts.append(trace.read().decode("utf-8", "replace"))
            return codes, texts
        finally:
            for trace in traces:
                trace.close()

    def kill_when_traced(self, program, matches, relay, occurrence=1, timeout=120):
        """Starts `program` with `relay` traced and kills it at once when the `occurrence`-th traced
        call for which `matches(call)` holds begins. Returns whether it was killed (False: it ended first)."""
        self.prefix.set_relay_include(list(relay))
        process = subprocess.Popen(["wine", str(program)], env=self.prefix.env({"WINEDEBUG": "+relay"}),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        killed = False
        try:
            seen = 0
            for line in process.stderr:
                call = tracing.traced_call(line.decode("utf-8", "replace"))
                if call is not None and matches(call):
                    seen += 1
                    if seen == occurrence:
                        os.kill(process.pid, signal.SIGKILL)
                        killed = True
                        break
        finally:
            process.stderr.close()
            if not killed:
                process.kill()
            process.wait(timeout=timeout)
        self.prefix.wait_idle(timeout=timeout)
        return killed

    @contextlib.contextmanager
    def scanner(self, hold_ms=20, hold_while_read_only=()):
        """A stand-in for a virus scanner in the prefix (tests/tools/file_scanner.cpp): every file
        added, written or renamed in the data folder, the Desktop, the Start Menu or a folder that
        appears in them (or in the local application data) is held `hold_ms` without delete sharing, and each file of `hold_while_read_only` as long as it
        is marked read-only. Yields the list of the files it has held so far (Windows paths)."""
        args = ["--hold", str(hold_ms)]
        folders = (self.prefix.local_app_data, self.data_folder.parent, self.data_folder, self.prefix.desktop,
                   self.prefix.programs, self.start_menu_shortcut.parent)
        for folder in folders:
            if folder.is_dir():
                args += ["--watch", qvs_wine.windows_path(folder)]
        for path in hold_while_read_only:
            args += ["--hold-while-read-only", qvs_wine.windows_path(path)]
        process = subprocess.Popen(["wine", str(FILE_SCANNER), *args], env=self.prefix.env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        lines, ready = [], threading.Event()

        def read():
            for line in process.stdout:
                text = line.decode("utf-8", "replace").rstrip("\r\n")
                if text == "ready":
                    ready.set()
                elif text.startswith("held "):
                    lines.append(text[5:])

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        try:
            deadline = time.monotonic() + 60
            while not (ready.is_set() and len(lines) >= len(hold_while_read_only)):
                assert process.poll() is None and time.monotonic() < deadline, "the file scanner did not start"
                time.sleep(0.05)
            yield lines
        finally:
            process.kill()
            process.wait()
            for pid in self.prefix.running(["file-scanner.exe"]):
                os.kill(pid, signal.SIGKILL)
            reader.join(timeout=10)

    def host_starts(self):
        return qvs_host_log.read_starts(self.host_log)

    def staging_files(self):
        """Staging files in the data folder (relative to it) and beside the shortcuts (by name)."""
        shortcut_folders = (self.desktop_shortcut.parent, self.start_menu_shortcut.parent)
        return sorted([str(path.relative_to(self.data_folder)) for path in self.data_folder.rglob("*.new")] +
                      [path.name for folder in shortcut_folders if folder.is_dir() for path in folder.glob("*.new")])

    def read_shortcut(self, path):
        completed = self.prefix.run(READ_SHORTCUT, qvs_wine.windows_path(path))
        if completed.returncode != 0:
            return None
        return dict(line.split("=", 1) for line in completed.stdout.splitlines() if "=" in line)


def mount_namespace(before, after=""):
    """A `wrapper` for Road.start: the program runs in a private mount namespace, after the shell
    lines `before` (mounts there; any failing line ends the start with its exit code before Wine
    runs). Wine's server opens the files for its programs, so the prefix's server is ended first and
    a server of the namespace's own serves the start; the lines `after` run once it has ended, and
    their output is the start's stdout. The exit code stays the program's."""
    script = (f"set -e\n{before}\nwineserver -k || true\nset +e\n\"$@\" >&2\ncode=$?\nwineserver -w\n"
              f"{after}\nexit $code\n")
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"]


def assert_store_holds(road, site, version, package):
    """The store holds exactly what the site publishes, with no staging file left."""
    assert road.store_file("stable.manifest").read_bytes() == site.manifest.read_bytes()
    assert road.store_file("stable.manifest.sig").read_bytes() == site.signature.read_bytes()
    assert road.store_file("current.txt").read_bytes() == version.encode()
    assert road.host_file(version).read_bytes() == package
    assert road.staging_files() == []


def installed_windows_path(prefix):
    """The installed launcher path as the launcher composes it."""
    return (f"C:\\users\\{prefix.user}\\AppData\\Local\\Quorvantis Software\\QVS Support\\{INSTALLED_NAME}")


def signed_descriptor(text, key):
    """Signs descriptor bytes with qvs-release (r||s, 64 bytes)."""
    folder = pathlib.Path(subprocess.run(["mktemp", "-d"], capture_output=True, text=True, check=True).stdout.strip())
    try:
        (folder / "d").write_bytes(text)
        subprocess.run([str(qvs_wine.QVS_RELEASE), "sign", "--private-key", str(key), "--descriptor", str(folder / "d"),
                        "--out", str(folder / "s")], check=True, capture_output=True, timeout=60)
        return (folder / "s").read_bytes()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
