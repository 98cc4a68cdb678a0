"""The cached release: the refresh fails (here: the service is down) and the launcher proves the
stored release again before it starts it, or shows why the refresh failed."""

import pytest

from road import DIALOG_CAPTION, DIALOG_LEAD, DIALOG_STYLE, dialogs

REQUEST_FAILED = "The support update request failed."


@pytest.fixture
def stored_release(road, site, serve_tree):
    """A release refreshed once while the service was up; the service is down afterwards."""
    package = site.publish("2.4.1")
    server = serve_tree(site.root)
    road.start(road.download())
    server.wait_for_entries(3)
    server.stop()
    assert road.store_file("current.txt").read_bytes() == b"2.4.1"
    return package


def assert_refresh_failure_shown(completed, road, starts_before):
    assert completed.returncode == 1
    assert dialogs(completed.trace) == [
        type(dialogs(completed.trace)[0])(0, DIALOG_LEAD + REQUEST_FAILED, DIALOG_CAPTION, DIALOG_STYLE)]
    assert len(road.host_starts()) == starts_before


def test_service_down_starts_the_cached_release_without_a_dialog(road, stored_release):
    completed = road.start_installed()
    assert completed.returncode == 0
    assert dialogs(completed.trace) == []
    starts = road.host_starts()
    assert len(starts) == 2
    assert starts[-1].module_path.endswith("\\versions\\2.4.1\\QuorvantisSupportHost.exe")


@pytest.mark.parametrize("content, usable", [
    (b"2.4.1", True),
    (b"2.4.1\n", True),
    (b"2.4.1\r\nsomething else\n", True),
    (b"2.4.1 ", False),
    (b"2.4.1\t", False),
    (b"2.4.1\r", False),
    (b"\xef\xbb\xbf2.4.1", False),
    (b"", False),
    (b"2.4.0", False),
])
def test_current_version_record_forms(road, stored_release, content, usable):
    road.store_file("current.txt").write_bytes(content)
    completed = road.start_installed()
    if usable:
        assert completed.returncode == 0
        assert dialogs(completed.trace) == []
        assert len(road.host_starts()) == 2
    else:
        assert_refresh_failure_shown(completed, road, 1)


def test_current_version_record_missing_or_a_folder(road, stored_release):
    record = road.store_file("current.txt")
    record.unlink()
    assert_refresh_failure_shown(road.start_installed(), road, 1)
    record.mkdir()
    assert_refresh_failure_shown(road.start_installed(), road, 1)


@pytest.mark.parametrize("damage", ["changed", "truncated", "extended", "missing"])
def test_damaged_stored_host_is_refused(road, stored_release, damage):
    host = road.host_file("2.4.1")
    data = stored_release
    if damage == "changed":
        host.write_bytes(data[:-1] + bytes([data[-1] ^ 0xFF]))
    elif damage == "truncated":
        host.write_bytes(data[:-1])
    elif damage == "extended":
        host.write_bytes(data + b"\0")
    else:
        host.unlink()
    assert_refresh_failure_shown(road.start_installed(), road, 1)


def test_foreign_stored_signature_or_changed_descriptor_is_refused(road, site, stored_release):
    # Another release's signature beside this release's descriptor.
    other = type(site)(site.root.parent / "other-site")
    other.publish("2.4.1", package_bytes=b"another package")
    road.store_file("stable.manifest.sig").write_bytes(other.signature.read_bytes())
    assert_refresh_failure_shown(road.start_installed(), road, 1)

    road.store_file("stable.manifest.sig").write_bytes(site.signature.read_bytes())
    descriptor = bytearray(site.manifest.read_bytes())
    descriptor[-2] ^= 0x01
    road.store_file("stable.manifest").write_bytes(bytes(descriptor))
    assert_refresh_failure_shown(road.start_installed(), road, 1)


def test_nothing_stored_shows_the_refresh_failure(road):
    road.download()
    # Start the copy as if installed: place it at the installed path directly.
    road.data_folder.mkdir(parents=True, exist_ok=True)
    road.installed.write_bytes(road.prefix.downloads.joinpath("QuorvantisSupport.exe").read_bytes())
    completed = road.start_installed()
    assert_refresh_failure_shown(completed, road, 0)
    assert not road.store_file("current.txt").exists()
