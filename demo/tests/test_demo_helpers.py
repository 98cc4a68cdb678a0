"""The demo's own helpers: reading relay traces, Xvfb's display number, the port lock."""

import os
import pathlib
import socket
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "pylib"))

import display  # noqa: E402
import port_lock  # noqa: E402
import tracing  # noqa: E402

TWO_PROCESSES = """\
0254:0258:trace:relay:load_list L"RelayInclude" = L"shell32.ShellExecuteExW;winhttp.WinHttpOpen"
0254:0258:Call shell32.ShellExecuteExW(0021fb10) ret=140004982
0284:0288:Call winhttp.WinHttpOpen(1400dcce0 L"Quorvantis Support Native Launcher/1.0",00000004,00000000) ret=140009e7d
0254:0258:Ret  shell32.ShellExecuteExW() retval=00000001 ret=140004982
0284:0288:Ret  winhttp.WinHttpOpen() retval=00000001 ret=140009e7d
0254:0258:fixme:exec:SHELL_execute flags ignored: 0x00000100
"""

NESTED_AND_UNFINISHED = """\
0010:0011:Call bcrypt.BCryptHashData(00000001,0021f000,000000b9,00000000) ret=140001000
0010:0011:Call bcrypt.BCryptHashData(00000002,0021f100,0011e01a,00000000) ret=140001004
0010:0011:Ret  bcrypt.BCryptHashData() retval=00000000 ret=140001004
0010:0011:Ret  bcrypt.BCryptHashData() retval=c000000d ret=140001000
0010:0011:Call user32.MessageBoxW(00000000,00c94170 L"a",1400ed940 L"b",00000010) ret=140001aab
"""


@pytest.mark.parametrize("trace, expected", [
    (TWO_PROCESSES, [(0x254, "shell32.ShellExecuteExW", 1), (0x284, "winhttp.WinHttpOpen", 1)]),
    # Results pair with their own call, inner before outer; a call still open at the end (the
    # process ended inside it) has no result.
    (NESTED_AND_UNFINISHED, [(0x10, "bcrypt.BCryptHashData", 0xc000000d), (0x10, "bcrypt.BCryptHashData", 0),
                             (0x10, "user32.MessageBoxW", None)]),
    # A Ret without its Call, and lines of other channels, are ignored.
    ("0001:0002:Ret  user32.MessageBoxW() retval=00000001 ret=1\nerr:module:foo\n", []),
    ("", []),
])
def test_traced_calls(trace, expected):
    assert [(call.pid, call.function, call.result) for call in tracing.traced_calls(trace)] == expected


def test_traced_calls_keep_arguments_in_call_order():
    calls = tracing.calls_of(tracing.traced_calls(NESTED_AND_UNFINISHED), "bcrypt.BCryptHashData")
    assert [int(call.arguments.split(",")[2], 16) for call in calls] == [0xb9, 0x11e01a]


@pytest.mark.parametrize("arguments, expected", [
    (r'00000000,00c94170 L"Quorvantis Support could not start securely.\n\nThe support update request failed.",'
     r'1400ed940 L"Quorvantis Support",00000010',
     ["Quorvantis Support could not start securely.\n\nThe support update request failed.", "Quorvantis Support"]),
    (r'0 L"a \"quoted\" C:\\path\ttab",0 L""', ['a "quoted" C:\\path\ttab', ""]),
    ("0021fb10", []),
])
def test_wide_strings(arguments, expected):
    assert tracing.wide_strings(arguments) == expected


def _pipe_with(data, close=True):
    read_end, write_end = os.pipe()
    os.write(write_end, data)
    if close:
        os.close(write_end)
    return read_end, write_end


@pytest.mark.parametrize("data, expected", [(b"0\n", 0), (b"12\n", 12), (b" 7 \n", 7)])
def test_display_number(data, expected):
    read_end, _ = _pipe_with(data)
    try:
        assert display.read_display_number(read_end, seconds=5) == expected
    finally:
        os.close(read_end)


@pytest.mark.parametrize("data, message", [(b"", "ended"), (b"3", "ended"), (b"x1\n", "not one"), (b"\n", "not one")])
def test_display_number_refused(data, message):
    read_end, _ = _pipe_with(data)
    try:
        with pytest.raises(RuntimeError, match=message):
            display.read_display_number(read_end, seconds=5)
    finally:
        os.close(read_end)


HOLDER = """\
import sys
sys.path.insert(0, sys.argv[2])
import port_lock
with port_lock.port_443(sys.argv[1]):
    print("held", flush=True)
    sys.stdin.read()
"""


def test_port_lock_excludes_a_second_holder(tmp_path):
    lock = tmp_path / "port.lock"
    demo_dir = str(pathlib.Path(port_lock.__file__).parent)
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(lock), demo_dir], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        probe = [sys.executable, "-c", "import fcntl, os, sys; fd = os.open(sys.argv[1], os.O_RDWR);"
                 "fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)", str(lock)]
        assert subprocess.run(probe, capture_output=True).returncode != 0
        # A waiter is told once, then gets the lock as soon as the holder lets go.
        waits = []

        def release_holder():
            waits.append(True)
            holder.stdin.close()

        with port_lock.port_443(lock, on_wait=release_holder):
            assert subprocess.run(probe, capture_output=True).returncode != 0
        assert waits == [True]
        assert holder.wait(timeout=30) == 0
        # Released with the block: the same probe now gets the lock.
        assert subprocess.run(probe, capture_output=True).returncode == 0
    finally:
        holder.kill()
        holder.wait()


def test_port_lock_held_by_the_parent_run_is_not_waited_for(tmp_path):
    lock = tmp_path / "port.lock"
    demo_dir = str(pathlib.Path(port_lock.__file__).parent)
    inner = "import sys; sys.path.insert(0, sys.argv[2]); import port_lock\nwith port_lock.port_443(sys.argv[1]): print('in')"
    result = subprocess.run(["flock", str(lock), sys.executable, "-c", inner, str(lock), demo_dir],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "in\n"), result.stderr


def test_listening():
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen()
        port = server.getsockname()[1]
        assert port_lock.listening(port=port)
    assert not port_lock.listening(port=port)


def test_prefix_user_folders_stay_inside_the_prefix(tmp_path):
    import qvs_wine

    home = tmp_path / "home"
    home.mkdir()
    (home / "keep.txt").write_text("the user's own file")
    prefix = qvs_wine.WinePrefix(tmp_path / "prefix")
    prefix.user_dir.mkdir(parents=True)
    for name in ("Desktop", "Downloads"):
        (prefix.user_dir / name).symlink_to(home)
    (prefix.user_dir / "Temp").mkdir()
    (prefix.user_dir / "Temp" / "t").write_text("t")

    prefix._keep_user_folders_inside()

    for name in ("Desktop", "Downloads"):
        folder = prefix.user_dir / name
        assert folder.is_dir() and not folder.is_symlink()
        assert list(folder.iterdir()) == []
    assert (prefix.user_dir / "Temp" / "t").read_text() == "t"
    assert (home / "keep.txt").read_text() == "the user's own file"
