"""Every file the launcher writes (the installed copy, the shortcuts, the release store) is renamed
into place after it was forced to disk: a power cut after the write-through rename must not leave a
renamed file whose data never reached the disk, and a kill never leaves a file half written."""

import re

from road import dialogs

TRACED = ["kernel32.FlushFileBuffers", "kernelbase.FlushFileBuffers", "kernel32.MoveFileExW", "kernelbase.MoveFileExW",
          "user32.MessageBoxW"]
CALL = re.compile(r'^([0-9a-f]+):Call (?:KERNEL32|kernel32|KERNELBASE|kernelbase)\.(FlushFileBuffers|MoveFileExW)\((.*)\) ret=',
                  re.MULTILINE)
WIDE = re.compile(r'L"((?:[^"\\]|\\.)*)"')


def renames(trace):
    """Per thread (the trace may hold started processes too), the files renamed into place, each
    checked to follow a flush on that thread since the previous rename."""
    flushed, moved = {}, {}
    for thread, name, arguments in CALL.findall(trace):
        if name == "FlushFileBuffers":
            flushed[thread] = True
            continue
        source, target = WIDE.findall(arguments)[:2]
        flags = int(arguments.rsplit(",", 1)[1], 16)
        assert flushed.get(thread), f"renamed without a flush first: {target}"
        assert source == target + ".new"
        assert flags == 9  # MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH
        moved.setdefault(thread, []).append(target.rsplit("\\\\", 1)[-1])
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

    # The installed copy with a new release: shortcuts, package, descriptor, signature, version.
    site.publish("6.2.0")
    refresh = road.start_installed(relay=TRACED)
    assert refresh.returncode == 0
    assert dialogs(refresh.trace) == []
    assert renames(refresh.trace) == [shortcuts + ["QuorvantisSupportHost.exe", "stable.manifest",
                                                   "stable.manifest.sig", "current.txt"]]
