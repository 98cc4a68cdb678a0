"""Every file the launcher writes (the installed copy, the shortcuts, the release store) is renamed
into place after it was forced to disk: a power cut after the write-through rename must not leave a
renamed file whose data never reached the disk, and a kill never leaves a file half written."""

import collections
import os

import pytest

from road import dialogs
from tracing import traced_calls

TRACED = ["kernel32.FlushFileBuffers", "kernelbase.FlushFileBuffers", "kernel32.MoveFileExW", "kernelbase.MoveFileExW",
          "user32.MessageBoxW"]


def renames(trace):
    """Per thread (the trace may hold started processes too), the files renamed into place, each
    checked to follow a flush on that thread since the previous rename."""
    flushed, moved = {}, {}
    for call in traced_calls(trace):
        thread = (call.pid, call.thread)
        if call.name == "FlushFileBuffers":
            flushed[thread] = True
            continue
        if call.name != "MoveFileExW":
            continue
        source, target = call.strings[:2]
        flags = int(call.arguments.rsplit(",", 1)[1], 16)
        assert flushed.get(thread), f"renamed without a flush first: {target}"
        assert source == target + ".new"
        assert flags == 9  # MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH
        moved.setdefault(thread, []).append(target.rsplit("\\", 1)[-1])
        flushed[thread] = False
    return list(moved.values())


def test_store_files_and_the_installed_copy_are_flushed_before_each_rename(road, site, serve_tree):
    site.publish("6.1.0")
    server = serve_tree(site.root)
    # The downloaded launcher installs itself and hands over.
    first = road.start(road.download(), relay=TRACED)
    assert first.returncode == 0
    server.wait_for_entries(3)
    shortcuts = ["Quorvantis Support.lnk", "Quorvantis Support.lnk"]
    assert ["QuorvantisSupport.exe"] + shortcuts in renames(first.trace)

    # The installed copy with a new release, the shortcuts in place: package, descriptor, signature,
    # version.
    site.publish("6.2.0")
    refresh = road.start_installed(relay=TRACED)
    assert refresh.returncode == 0
    assert dialogs(refresh.trace) == []
    assert renames(refresh.trace) == [["QuorvantisSupportHost.exe", "stable.manifest", "stable.manifest.sig",
                                       "current.txt"]]


# Scanners, indexers and sync tools open every new file for a moment: the user sees no dialog,
# the host starts and new releases land. Trials per row: QVS_SCANNER_TRIALS (default 2).
TRIALS = int(os.environ.get("QVS_SCANNER_TRIALS", "2"))


def first_start(road, site, trial):
    road.reset()
    return road.start(road.download(), relay=["user32.MessageBoxW"]), "1.0.0"


# A shortcut in place is left alone: the later starts delete one, so that its new copy is written
# while the scanner watches too.
def stored_start(road, site, trial):
    road.desktop_shortcut.unlink()
    return road.start_installed(), "1.0.0"


def new_release_start(road, site, trial):
    version = f"1.1.{trial}"
    site.publish(version)
    road.desktop_shortcut.unlink()
    return road.start_installed(), version


@pytest.mark.parametrize("hold_ms", [20, 200])
@pytest.mark.parametrize("scenario", [first_start, stored_start, new_release_start],
                         ids=["first start from Downloads", "release stored", "new release published"])
def test_a_scanner_holding_new_files_changes_nothing_a_user_sees(road, site, serve_tree, scenario, hold_ms):
    site.publish("1.0.0")
    serve_tree(site.root)
    assert road.start(road.download()).returncode == 0
    tally = collections.Counter()
    with road.scanner(hold_ms) as held:
        for trial in range(TRIALS):
            starts_before = len(road.host_starts()) if scenario is not first_start else 0
            completed, version = scenario(road, site, trial)
            tally["dialogs"] += len(dialogs(completed.trace))
            tally["exit 0"] += completed.returncode == 0
            tally["hosts started"] += len(road.host_starts()) == starts_before + 1
            tally["release current"] += road.store_file("current.txt").read_bytes() == version.encode()
            tally["files left behind"] += len(road.staging_files())
    print(f"{scenario.__name__}, {hold_ms} ms hold, {TRIALS} starts: {dict(tally)}")
    # The scanner really held what the launcher wrote, in the store and beside the shortcuts.
    # (A shortcut is written as NAME.lnk.new and renamed: holding either is holding the shortcut.)
    assert any("QVS Support" in path for path in held) and any(".lnk" in path for path in held), held
    assert tally == collections.Counter({"exit 0": TRIALS, "hosts started": TRIALS, "release current": TRIALS})
