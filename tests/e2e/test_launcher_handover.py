"""Self-installation and the hand-over to the installed copy, as a user's starts meet them."""

import os
import shlex

import pytest

from road import dialogs, installed_windows_path, mount_namespace

import qvs_wine
import tracing


def identity(path):
    stat = os.stat(path)
    return stat.st_ino, stat.st_mtime_ns


def installed_release(road, site, serve_tree):
    """A user who installed the launcher from Downloads; the service keeps running."""
    site.publish("3.0.0")
    server = serve_tree(site.root)
    assert road.start(road.download()).returncode == 0
    server.wait_for_entries(3)
    return server


def short_name(road, windows_path):
    """The 8.3 spelling of a path, as Windows hands it to programs that ask for one (a batch file:
    cmd's own quoting survives no command line)."""
    script = road.prefix.root / "drive_c" / "short-name.bat"
    script.write_text(f'@for %%I in ("{windows_path}") do @echo %%~sI\r\n')
    completed = road.prefix.run("cmd", "/c", "C:\\short-name.bat")
    spelled = completed.stdout.strip()
    assert completed.returncode == 0 and "~" in spelled and " " not in spelled, completed.stdout + completed.stderr
    return spelled


@pytest.mark.parametrize("spelling", ["other letter case", "8.3 name", "extended-length prefix"])
def test_the_installed_copy_however_its_path_is_spelled_is_the_installed_copy(road, site, serve_tree, spelling):
    server = installed_release(road, site, serve_tree)
    before = identity(road.installed)
    installed = installed_windows_path(road.prefix)
    started = {
        "other letter case": lambda: installed.replace("Quorvantis Software", "QUORVANTIS software").replace(
            "QuorvantisSupport.exe", "quorvantissupport.EXE"),
        "8.3 name": lambda: short_name(road, installed),
        "extended-length prefix": lambda: "\\\\?\\" + installed,
    }[spelling]()

    completed = road.start(started, relay=["user32.MessageBoxW"])
    assert completed.returncode == 0
    assert dialogs(completed.trace) == []
    # No copy (the installed file is untouched, no staging file) and no hand-over: this very
    # process refreshed (two more requests) and started the host.
    assert identity(road.installed) == before
    assert road.staging_files() == []
    assert len(server.wait_for_entries(5)) == 5
    assert len(road.host_starts()) == 2


def test_start_from_elsewhere_copies_over_an_identical_installed_copy(road, site, serve_tree):
    installed_release(road, site, serve_tree)
    before = identity(road.installed)
    assert road.start(road.download()).returncode == 0
    assert identity(road.installed) != before
    assert road.installed.read_bytes() == qvs_wine.LAUNCHER.read_bytes()
    assert road.staging_files() == []


def test_leftover_staging_file_is_overwritten(road, site, serve_tree):
    site.publish("3.0.0")
    serve_tree(site.root)
    road.data_folder.mkdir(parents=True)
    leftover = road.data_folder / "QuorvantisSupport.exe.new"
    leftover.write_bytes(b"half a launcher from an earlier failure" * 100000)

    assert road.start(road.download()).returncode == 0
    assert road.installed.read_bytes() == qvs_wine.LAUNCHER.read_bytes()
    assert not leftover.exists()
    assert len(road.host_starts()) == 1


def test_shortcuts_are_left_alone_and_deleted_ones_come_back(road, site, serve_tree):
    installed_release(road, site, serve_tree)
    shortcuts = (road.desktop_shortcut, road.start_menu_shortcut)
    before = {shortcut: (identity(shortcut), shortcut.read_bytes()) for shortcut in shortcuts}
    # A start with both in place writes neither (a synced Desktop would upload it at every start).
    completed = road.start_installed(relay=["kernel32.MoveFileExW"])
    assert completed.returncode == 0
    assert [call for call in tracing.traced_calls(completed.trace)
            if call.name == "MoveFileExW" and any(".lnk" in text for text in call.strings)] == []
    assert {shortcut: (identity(shortcut), shortcut.read_bytes()) for shortcut in shortcuts} == before

    road.desktop_shortcut.unlink()
    road.start_menu_shortcut.unlink()
    road.start_menu_shortcut.parent.rmdir()
    assert road.start_installed().returncode == 0
    for shortcut in shortcuts:
        assert road.read_shortcut(shortcut)["target"].lower() == installed_windows_path(road.prefix).lower()


def test_arguments_are_ignored_and_never_passed_on(road, site, serve_tree):
    site.publish("3.0.0")
    serve_tree(site.root)
    completed = road.start(road.download(), "--verify-package=x", "/quiet", "some file.txt",
                           relay=["user32.MessageBoxW"])
    assert completed.returncode == 0
    assert dialogs(completed.trace) == []
    starts = road.host_starts()
    assert len(starts) == 1
    host = starts[0].module_path
    assert starts[0].command_line.strip() in (host, f'"{host}"')
    # Started in its own folder, never the Downloads folder the first start ran in.
    assert starts[0].working_directory.rstrip("\\").lower() == host.rsplit("\\", 1)[0].lower()


def test_each_start_passes_the_foreground_on_to_what_it_starts(road, site, serve_tree):
    """Windows lets a process take the foreground only with leave from the foreground one."""
    site.publish("3.0.0")
    serve_tree(site.root)
    run = tracing.run_traced(road.prefix, road.download(), ["GetProcessId", "AllowSetForegroundWindow"])
    assert run.returncode == 0
    started = [call.result for call in run.calls if call.name == "GetProcessId"]
    allowed = [(call.pid, int(call.arguments, 16)) for call in run.calls if call.name == "AllowSetForegroundWindow"]
    # The downloaded copy lets the installed copy have it, which lets the host have it.
    assert [pid for _, pid in allowed] == started and len(allowed) == 2, run.calls
    (downloaded, installed), (by_installed, host) = allowed
    assert by_installed == installed != downloaded and host not in (downloaded, installed)
    assert len(road.host_starts()) == 1


@pytest.mark.parametrize("folder", ["Start Menu", "Desktop"])
def test_a_read_only_shortcut_folder_leaves_that_shortcut_out_and_the_host_starts(road, site, serve_tree, folder):
    """As on managed machines that redirect the folder to a read-only share."""
    site.publish("3.0.0")
    serve_tree(site.root)
    shortcut, other = road.start_menu_shortcut, road.desktop_shortcut
    read_only = road.prefix.programs
    if folder == "Desktop":
        shortcut, other, read_only = other, shortcut, road.prefix.desktop
    path = shlex.quote(str(read_only))
    wrapper = mount_namespace(f"mount --bind {path} {path}\nmount -o remount,bind,ro {path}\n"
                              f"if touch {path}/probe 2>/dev/null; then exit 97; fi")

    completed = road.start(road.download(), relay=["user32.MessageBoxW", "kernel32.Sleep"], wrapper=wrapper)
    assert completed.returncode == 0
    assert dialogs(completed.trace) == []
    # A folder that refuses new files is not a short hold: no pause of the hold patience (its
    # first is 10 ms) is spent on it.
    assert [call for call in tracing.traced_calls(completed.trace)
            if call.name == "Sleep" and int(call.arguments, 16) == 10] == []
    assert len(road.host_starts()) == 1
    assert not shortcut.exists()
    assert road.read_shortcut(other)["target"].lower() == installed_windows_path(road.prefix).lower()
    assert road.staging_files() == []
