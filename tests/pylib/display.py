"""A private X display (Xvfb) on which a real dialog can be found, photographed and answered."""

import os
import pathlib
import subprocess
import time

import qvs_process

SCREEN = "1024x768x24"


def read_display_number(fd, seconds):
    """The display number Xvfb writes to its -displayfd descriptor, one line."""
    deadline = time.monotonic() + seconds
    data = b""
    while not data.endswith(b"\n"):
        if time.monotonic() > deadline:
            raise RuntimeError("Xvfb did not report its display number")
        chunk = os.read(fd, 16)
        if not chunk:
            raise RuntimeError("Xvfb ended before it reported its display number")
        data += chunk
    number = data.decode("ascii").strip()
    if not number.isdigit():
        raise RuntimeError(f"Xvfb reported a display number that is not one: {number!r}")
    return int(number)


class VirtualDisplay:
    """Xvfb on the first free display number (Xvfb picks it, so two runs never share one), local
    connections only. `stop` (or leaving the `with` block) ends it."""

    def __init__(self, log_path, startup_seconds=30):
        self._log = open(log_path, "wb")
        read_end, write_end = os.pipe()
        try:
            self._process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN, "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log)
        except BaseException:
            os.close(read_end)
            os.close(write_end)
            self._log.close()
            raise
        os.close(write_end)
        try:
            self.number = read_display_number(read_end, startup_seconds)
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(read_end)
        self.name = f":{self.number}"

    def env(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.name
        return env

    def _x(self, *command, check=True):
        return subprocess.run(list(command), env=self.env(), stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=30, check=check)

    def wait_for_window(self, name, seconds=60, alive=lambda: True):
        """The id of the first visible window titled `name`; stops early once `alive()` is false."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            found = self._x("xdotool", "search", "--onlyvisible", "--name", f"^{name}$", check=False).stdout.split()
            if found:
                return found[0]
            if not alive():
                raise RuntimeError(f"the program ended without showing a window named {name!r}")
            time.sleep(0.2)
        raise TimeoutError(f"no window named {name!r} appeared within {seconds} s")

    def window_geometry(self, window):
        text = self._x("xdotool", "getwindowgeometry", "--shell", window).stdout
        return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)

    def screenshot(self, window, path, seconds=10):
        """Saves the window as a PNG once it has been painted (more than its background colour)."""
        path = pathlib.Path(path)
        deadline = time.monotonic() + seconds
        while True:
            self._x("import", "-window", window, str(path))
            colours = int(self._x("identify", "-format", "%k", str(path)).stdout.strip() or "0")
            if colours > 2 or time.monotonic() > deadline:
                return path, colours
            time.sleep(0.2)

    def press_return(self, window):
        # Without a window manager xdotool warns about the input focus and exits 1 although the
        # key was delivered: the program's own reaction is the evidence, not this exit code.
        self._x("xdotool", "key", "--window", window, "Return", check=False)

    def stop(self):
        qvs_process.end(self._process)
        self._log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
