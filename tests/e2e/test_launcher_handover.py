"""Self-installation and the hand-over to the installed copy, as a user's starts meet them."""

import os
import shlex

import pytest

from road import dialogs, installed_windows_path, mount_namespace

import qvs_wine


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


def test_installed_path_in_other_letter_case_is_the_installed_copy(road, site, serve_tree):
    server = installed_release(road, site, serve_tree)
    before = identity(road.installed)
    other_case = installed_windows_path(road.prefix).replace("Quorvantis Software", "QUORVANTIS software").replace(
        "QuorvantisSupport.exe", "quorvantissupport.EXE")

    completed = road.start(other_case, relay=["user32.MessageBoxW"])
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


def test_deleted_shortcuts_and_start_menu_folder_come_back(road, site, serve_tree):
    installed_release(road, site, serve_tree)
    road.desktop_shortcut.unlink()
    road.start_menu_shortcut.unlink()
    road.start_menu_shortcut.parent.rmdir()

    assert road.start_installed().returncode == 0
    for shortcut in (road.desktop_shortcut, road.start_menu_shortcut):
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

    completed = road.start(road.download(), relay=["user32.MessageBoxW"], wrapper=wrapper)
    assert completed.returncode == 0
    assert dialogs(completed.trace) == []
    assert len(road.host_starts()) == 1
    assert not shortcut.exists()
    assert road.read_shortcut(other)["target"].lower() == installed_windows_path(road.prefix).lower()
    assert road.staging_files() == []
