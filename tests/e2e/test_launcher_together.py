"""Launchers of one user started at the same moment (a double-click, a second click while the first
start is still busy) all start the host without a dialog, and a kill while the shortcuts are
rewritten leaves each shortcut readable."""

import pytest

from road import assert_store_holds, dialogs, installed_windows_path, opens_shortcut

import qvs_wine

ROUNDS = 3


def assert_all_started(road, codes, traces, starts_before, version):
    assert [dialogs(trace) for trace in traces] == [[]] * len(traces)
    assert codes == [0] * len(codes), [trace[-2000:] for code, trace in zip(codes, traces) if code]
    starts = road.host_starts()[starts_before:]
    assert len(starts) == len(codes)
    assert {start.module_path.rsplit("\\", 2)[-2] for start in starts} == {version}


@pytest.mark.parametrize("count", [2, 5])
@pytest.mark.parametrize("state", ["empty store", "release stored", "new release published"])
def test_installed_launchers_started_together_all_start_the_host(road, site, serve_tree, state, count):
    package = site.publish("1.0.0")
    version = "1.0.0"
    serve_tree(site.root)
    road.place_installed()
    if state != "empty store":
        assert road.start_installed().returncode == 0
    for round_number in range(ROUNDS):
        if state == "empty store":
            road.forget_store()
        elif state == "new release published":
            version = f"1.{round_number + 1}.0"
            package = site.publish(version)
        starts_before = len(road.host_starts())

        codes, traces = road.start_together(road.installed, count)

        assert_all_started(road, codes, traces, starts_before, version)
        assert_store_holds(road, site, version, package)


def test_downloaded_copies_started_together_install_once_each_and_all_start_the_host(road, site, serve_tree):
    package = site.publish("1.0.0")
    serve_tree(site.root)
    for _ in range(ROUNDS):
        road.reset()
        codes, traces = road.start_together(road.download(), 3)

        # Each start handed over to the installed copy, which started the host.
        assert_all_started(road, codes, traces, 0, "1.0.0")
        assert road.installed.read_bytes() == qvs_wine.LAUNCHER.read_bytes()
        assert_store_holds(road, site, "1.0.0", package)  # no staging file either, the launcher's own included
        for shortcut in (road.desktop_shortcut, road.start_menu_shortcut):
            assert road.read_shortcut(shortcut)["target"].lower() == installed_windows_path(road.prefix).lower()


KILLS = 6


def test_a_kill_while_a_shortcut_is_rewritten_leaves_it_readable(road, site, serve_tree):
    site.publish("1.0.0")
    serve_tree(site.root)
    road.place_installed()
    assert road.start_installed().returncode == 0
    installed = installed_windows_path(road.prefix).lower()
    killed = 0
    for round_number in range(KILLS):
        # The desktop shortcut is written first, the Start Menu one second.
        killed += road.kill_when_traced(road.installed, opens_shortcut, ["kernel32.CreateFileW", "kernelbase.CreateFileW"],
                                        occurrence=1 + round_number % 2)
        for shortcut in (road.desktop_shortcut, road.start_menu_shortcut):
            properties = road.read_shortcut(shortcut)
            assert properties is not None, f"{shortcut.name} unreadable after kill {round_number + 1}"
            assert properties["target"].lower() == installed
    assert killed == KILLS
