"""The launcher as a user meets it, against nginx serving a tree that qvs-release wrote."""

import os

from road import AGENT, SHORTCUT_DESCRIPTION, assert_store_holds, dialogs, installed_windows_path

import qvs_wine

REQUESTS_FIRST = ["/downloads/client/stable.manifest", "/downloads/client/stable.manifest.sig"]


def package_request(version):
    return f"/downloads/client/packages/QuorvantisSupportHost-{version}.exe"


def test_first_start_from_downloads(road, site, serve_tree):
    check_first_start_from_downloads(road, site, serve_tree, qvs_wine.LAUNCHER)


def check_first_start_from_downloads(road, site, serve_tree, launcher):
    """`launcher` as a user downloads it and starts it for the first time: installed, both
    shortcuts, hand-over, three requests, host started."""
    package = site.publish("1.0.0")
    server = serve_tree(site.root)
    downloaded = road.download(source=launcher)

    first = road.start(downloaded, relay=["user32.MessageBoxW"])
    assert first.returncode == 0
    assert dialogs(first.trace) == []

    # Installed copy, byte for byte.
    assert road.installed.read_bytes() == launcher.read_bytes()
    # Both shortcuts open the installed copy with no arguments and show its icon.
    installed = installed_windows_path(road.prefix)
    for shortcut in (road.desktop_shortcut, road.start_menu_shortcut):
        properties = road.read_shortcut(shortcut)
        assert properties is not None, shortcut
        assert properties["target"].lower() == installed.lower()
        assert properties["arguments"] == ""
        assert properties["description"] == SHORTCUT_DESCRIPTION
        assert properties["icon_path"].lower() == installed.lower()
        assert properties["icon_index"] == "0"

    # The installed copy made the three requests, each with the launcher's agent.
    entries = server.wait_for_entries(3)
    assert [entry.path for entry in entries] == REQUESTS_FIRST + [package_request("1.0.0")]
    assert {entry.user_agent for entry in entries} == {AGENT}
    assert {entry.status for entry in entries} == {200}

    assert_store_holds(road, site, "1.0.0", package)
    assert not road.store_file("current.txt").read_bytes().endswith(b"\n")

    starts = road.host_starts()
    assert len(starts) == 1
    expected_host = installed.rsplit("\\", 1)[0] + "\\versions\\1.0.0\\QuorvantisSupportHost.exe"
    assert starts[0].module_path.lower() == expected_host.lower()
    # Started with no arguments: the command line is the program alone.
    assert starts[0].command_line.strip().lower() in (expected_host.lower(), f'"{expected_host.lower()}"')


def test_second_start_reuses_the_stored_package(road, site, serve_tree):
    site.publish("1.0.0")
    server = serve_tree(site.root)
    road.start(road.download())
    server.wait_for_entries(3)
    host = road.host_file("1.0.0")
    before = os.stat(host)

    second = road.start_installed()
    assert second.returncode == 0
    entries = server.wait_for_entries(5)
    assert [entry.path for entry in entries[3:]] == REQUESTS_FIRST
    after = os.stat(host)
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert len(road.host_starts()) == 2
    assert road.staging_files() == []


def test_new_version_then_older_version_again(road, site, serve_tree):
    site.publish("1.0.0")
    server = serve_tree(site.root)
    road.start(road.download())

    newer = site.publish("1.1.0")
    assert road.start_installed().returncode == 0
    assert_store_holds(road, site, "1.1.0", newer)
    assert road.host_starts()[-1].module_path.endswith("\\1.1.0\\QuorvantisSupportHost.exe")

    # Publishing the older descriptor again makes that release current again.
    older = site.publish("1.0.0", options=["--allow-downgrade"])
    assert road.start_installed().returncode == 0
    assert_store_holds(road, site, "1.0.0", older)
    assert road.host_file("1.1.0").read_bytes() == newer
    assert road.host_starts()[-1].module_path.endswith("\\1.0.0\\QuorvantisSupportHost.exe")
    paths = [entry.path for entry in server.wait_for_entries(8)]
    # 3 + 3 (new package) + 2 (the old one is still stored and intact).
    assert len(paths) == 8
    assert paths[-2:] == REQUESTS_FIRST


def test_damaged_stored_host_is_downloaded_afresh(road, site, serve_tree):
    package = site.publish("1.0.0")
    server = serve_tree(site.root)
    road.start(road.download())
    host = road.host_file("1.0.0")

    for damage in (lambda b: b[:100] + bytes([b[100] ^ 1]) + b[101:], lambda b: b[:-1], lambda b: b + b"x"):
        host.write_bytes(damage(package))
        count = len(server.entries())
        assert road.start_installed().returncode == 0
        entries = server.wait_for_entries(count + 3)
        assert [entry.path for entry in entries[count:]] == REQUESTS_FIRST + [package_request("1.0.0")]
        assert host.read_bytes() == package
