"""Runs the built Windows programs under Wine, each suite in a throwaway prefix of its own."""

import os
import getpass
import pathlib
import shutil
import subprocess
import tempfile
import time

SOURCE_DIR = pathlib.Path(os.environ.get("QVS_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
BUILD_DIR = pathlib.Path(os.environ.get("QVS_BUILD_DIR", SOURCE_DIR / "build" / "windows-test"))
HOST_TOOLS_DIR = pathlib.Path(os.environ.get("QVS_HOST_TOOLS_DIR", SOURCE_DIR / "build" / "host"))
LAUNCHER = BUILD_DIR / "launcher" / "QuorvantisSupport.exe"
# The four-part version the build generates into the launcher's manifest from the project's version.
LAUNCHER_MANIFEST_VERSION = os.environ.get("QVS_LAUNCHER_MANIFEST_VERSION", "")
SAMPLE_HOST = BUILD_DIR / "host" / "QuorvantisSupportHost.exe"
QVS_RELEASE = HOST_TOOLS_DIR / "tools" / "qvs-release" / "qvs-release"
BASE_DLL_OVERRIDES = "winemenubuilder.exe=d;mscoree,mshtml="


def build_launcher(build, *defines, timeout=1800):
    """QuorvantisSupport.exe from the release preset in `build`, configured with `defines`
    ("-DNAME=VALUE"); returns its path."""
    for args in (["--preset", "windows", "-B", str(build), *defines], ["--build", str(build), "--target",
                                                                        "QuorvantisSupport"]):
        result = subprocess.run(["cmake", *args], cwd=SOURCE_DIR, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=timeout)
        if result.returncode != 0:
            raise AssertionError(f"cmake {' '.join(args)} failed:\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}")
    return pathlib.Path(build) / "launcher" / "QuorvantisSupport.exe"


def windows_path(path):
    """The Z: drive path under which Wine sees a host path."""
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


class WinePrefix:
    """A Wine prefix with a persistent wineserver; `run` starts a program in it."""

    def __init__(self, root=None):
        self.root = pathlib.Path(root or tempfile.mkdtemp(prefix="qvs-wine-", dir=BUILD_DIR))
        self.user = getpass.getuser()
        self._booted = False
        self._relay_include = None  # the value last written; every write goes through set_relay_include

    def env(self, extra=None):
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.root), WINEDEBUG="-all", WINEDLLOVERRIDES=BASE_DLL_OVERRIDES)
        env.pop("DISPLAY", None)
        env.update(extra or {})
        return env

    def boot(self):
        if self._booted:
            return self
        # Wine's services outlive the programs and keep inherited descriptors open: never pipes.
        # On a loaded machine a first boot now and then ends with status 1 and a prefix that a
        # second boot completes; a second failure is a real one.
        for attempt in (1, 2):
            booted = subprocess.run(["wineboot", "-i"], env=self.env(), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180)
            if booted.returncode == 0:
                break
            subprocess.run(["wineserver", "-k"], env=self.env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False, timeout=60)
        booted.check_returncode()
        subprocess.run(["wineserver", "-w"], env=self.env(), check=True, timeout=180)
        self._keep_user_folders_inside()
        subprocess.run(["wineserver", "-p"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        # Start the services now, on /dev/null, so no later run hands them its files.
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        self._booted = True
        return self

    def _keep_user_folders_inside(self):
        """wineboot links Desktop, Downloads, Documents and the like to the Unix home folder, so a
        test that empties the prefix's Downloads would empty the home folder: make them plain
        folders of the prefix (unlinking a symbolic link leaves its target alone)."""
        if not self.user_dir.is_dir():
            return
        for entry in self.user_dir.iterdir():
            if entry.is_symlink():
                entry.unlink()
                entry.mkdir()

    def run(self, program, *args, env=None, cwd=None, timeout=120, relay=None, wrapper=()):
        """Runs `program` with `args` and waits for it. `relay` lists functions to trace, e.g.
        ["user32.MessageBoxW"]; the trace then is in the result's `trace` attribute. `wrapper` is a
        command that runs the wine command line it is given (e.g. in a mount namespace of its own)."""
        self.boot()
        extra = dict(env or {})
        if relay:
            self.set_relay_include(relay)
            extra["WINEDEBUG"] = "+relay"
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            completed = subprocess.run([*wrapper, "wine", str(program), *map(str, args)], env=self.env(extra), cwd=cwd,
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            completed.stdout = out.read().decode("utf-8", "replace")
            completed.stderr = err.read().decode("utf-8", "replace")
        completed.trace = completed.stderr if relay else ""
        return completed

    def set_relay_include(self, functions):
        value = ";".join(functions)
        if value != self._relay_include:
            self.reg_add(r"HKCU\Software\Wine\Debug", "RelayInclude", value)
            self._relay_include = value

    def reg_add(self, key, name, value, kind="REG_SZ"):
        # Like a first boot, reg.exe now and then ends with status 1 on a loaded machine, right
        # after a killed program; a second failure is a real one, and says what reg said. Its
        # output goes to a file, never a pipe (see boot).
        for _ in range(2):
            with tempfile.TemporaryFile() as output:
                added = subprocess.run(["wine", "reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f"],
                                       env=self.env(), stdin=subprocess.DEVNULL, stdout=output,
                                       stderr=subprocess.STDOUT, timeout=120)
                output.seek(0)
                said = output.read().decode("utf-8", "replace")
            if added.returncode == 0:
                return
            self.wait_idle()
        raise RuntimeError(f"wine reg add {key} /v {name} failed ({added.returncode}): {said}")

    def running(self, names):
        """Host pids of this prefix's processes whose command line names one of `names`."""
        found = []
        for entry in pathlib.Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                environ = (entry / "environ").read_bytes().split(b"\0")
                cmdline = (entry / "cmdline").read_bytes().decode("utf-8", "replace")
            except OSError:
                continue
            if f"WINEPREFIX={self.root}".encode() in environ and any(name in cmdline for name in names):
                found.append(int(entry.name))
        return found

    def wait_idle(self, names=("QuorvantisSupport.exe", "QuorvantisSupportHost.exe"), timeout=120):
        """Waits until no program named in `names` runs in this prefix: the launcher does not wait
        for what it starts, so a hand-over or a host start ends after the first process does."""
        deadline = time.monotonic() + timeout
        while self.running(names):
            if time.monotonic() > deadline:
                raise TimeoutError(f"still running after {timeout} s: {names}")
            time.sleep(0.1)

    @property
    def user_dir(self):
        return self.root / "drive_c" / "users" / self.user

    @property
    def local_app_data(self):
        return self.user_dir / "AppData" / "Local"

    @property
    def data_folder(self):
        return self.local_app_data / "Quorvantis Software" / "QVS Support"

    @property
    def downloads(self):
        return self.user_dir / "Downloads"

    @property
    def desktop(self):
        return self.user_dir / "Desktop"

    @property
    def programs(self):
        return self.user_dir / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Start Menu" / "Programs"

    def close(self, remove=True):
        subprocess.run(["wineserver", "-k"], env=self.env(), timeout=60, check=False)
        if remove:
            shutil.rmtree(self.root, ignore_errors=True)
