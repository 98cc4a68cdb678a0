"""Starts a program in a Wine prefix with a narrow relay trace that also covers every process it
starts, and reads the traced calls back."""

import dataclasses
import re
import subprocess
import tempfile

# "0254:0258:Call shell32.ShellExecuteExW(0021fb10) ret=140004982"
# "0254:0258:Ret  shell32.ShellExecuteExW() retval=00000001 ret=140004982"
# The process id stands there under +pid, a time in seconds ahead of all under +timestamp.
_LINE = re.compile(r"^\s*(?:([0-9]+\.[0-9]+):)?(?:([0-9a-f]+):)?([0-9a-f]+):(Call|Ret)\s+([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)"
                   r"\((.*)\)(?: retval=([0-9a-f]+))? ret=[0-9a-f]+$")
# Wine cuts a long string argument short and marks the cut with "..." after the closing quote.
_WIDE = re.compile(r'L"((?:[^"\\]|\\.)*)"')
_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}


@dataclasses.dataclass(frozen=True)
class TracedCall:
    pid: int  # None without +pid
    thread: int
    function: str  # "dll.Function", the dll in lower case
    arguments: str  # as the trace prints them, strings included
    result: int = None  # None when the call never returned (the process ended inside it)
    started: float = None  # seconds, under +timestamp
    ended: float = None

    @property
    def name(self):
        """The function without its dll: kernel32 and kernelbase both serve many calls."""
        return self.function.split(".", 1)[1]

    @property
    def strings(self):
        """The wide-string arguments, unescaped."""
        return wide_strings(self.arguments)


def wide_strings(arguments):
    """The wide-string arguments of a traced call, unescaped."""
    return [re.sub(r"\\(.)", lambda m: _ESCAPES.get(m.group(1), m.group(0)), text)
            for text in _WIDE.findall(arguments)]


def _parse(line):
    match = _LINE.match(line.rstrip("\n"))
    if not match:
        return None, None
    stamp, pid, thread, kind, dll, name, arguments, result = match.groups()
    call = TracedCall(int(pid, 16) if pid else None, int(thread, 16), f"{dll.lower()}.{name}", arguments,
                      int(result, 16) if result else None, float(stamp) if stamp else None)
    return kind, call


def traced_call(line):
    """The call a trace line begins, or None for any other line."""
    kind, call = _parse(line)
    return call if kind == "Call" else None


def traced_calls(trace):
    """Every traced call in `trace`, in the order the calls began, with its result and end."""
    calls, open_calls = [], {}
    for line in trace.splitlines():
        kind, call = _parse(line)
        if kind is None:
            continue
        key = (call.pid, call.thread, call.function)
        if kind == "Call":
            open_calls.setdefault(key, []).append(len(calls))
            calls.append(dataclasses.replace(call, result=None))
        elif open_calls.get(key):
            index = open_calls[key].pop()
            calls[index] = dataclasses.replace(calls[index], result=call.result, ended=call.started)
    return calls


def calls_of(calls, function):
    return [call for call in calls if call.function == function]


class TracedRun:
    """A program started in a prefix with `functions` traced; `wait` waits for it and for whatever
    it started, then holds the exit code and the calls of every process."""

    def __init__(self, prefix, program, functions, env=None, cwd=None):
        self.prefix = prefix
        prefix.boot()
        prefix.set_relay_include(functions)
        # Children write their trace into the same file after the first process has ended: read
        # it only once the prefix is idle. A file, never a pipe: Wine's services would keep it open.
        self._trace = tempfile.TemporaryFile()
        extra = dict(env or {})
        extra["WINEDEBUG"] = "+pid,+relay"
        self.process = subprocess.Popen(["wine", str(program)], env=prefix.env(extra), cwd=cwd,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._trace)
        self.returncode = None
        self.calls = []

    def wait(self, timeout=120):
        try:
            self.returncode = self.process.wait(timeout=timeout)
            self.prefix.wait_idle(timeout=timeout)
            self._trace.seek(0)
            self.calls = traced_calls(self._trace.read().decode("utf-8", "replace"))
        finally:
            self._trace.close()
        return self

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if not self._trace.closed:
            self._trace.close()

    def of(self, function):
        return calls_of(self.calls, function)


def run_traced(prefix, program, functions, env=None, cwd=None, timeout=120):
    run = TracedRun(prefix, program, functions, env=env, cwd=cwd)
    try:
        return run.wait(timeout=timeout)
    except BaseException:
        run.kill()
        raise
