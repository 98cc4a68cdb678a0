"""A refresh that fails while it writes the release store: with release 1.0.0 stored by an earlier
start, the next release is published and one store step is made to fail. The store must hold
what the write order leaves behind, that same run must start what the cached selection can still
prove (or show the store failure), and a later start without the service must find the same."""

import dataclasses
import hashlib
import shlex

import pytest

from road import (DIALOG_CAPTION, DIALOG_LEAD, Dialog, DIALOG_STYLE, Release, dialogs, mount_namespace,
                  signed_descriptor)

import qvs_site
import qvs_wine

STORE_FAILED = "The update package could not be stored."
ACTIVATE_FAILED = "The update package could not be activated."
REQUEST_FAILED = "The support update request failed."
TOP_FILES = ("stable.manifest", "stable.manifest.sig", "current.txt")


def published(site, version, package):
    return Release(version, package, site.manifest.read_bytes(), site.signature.read_bytes())


@dataclasses.dataclass
class Stored:
    release: Release
    server: object


@pytest.fixture
def stored(road, site, serve_tree):
    """Release 1.0.0 refreshed and started once; the service keeps running."""
    package = site.publish("1.0.0")
    server = serve_tree(site.root)
    road.place_installed()
    completed = road.start_installed()
    assert completed.returncode == 0 and dialogs(completed.trace) == []
    assert road.store_file("current.txt").read_bytes() == b"1.0.0"
    return Stored(published(site, "1.0.0", package), server)


# How the service changes after 1.0.0 was stored.
def publish_newer(site, former):
    return published(site, "1.1.0", site.publish("1.1.0"))


def resign_same_descriptor(site, former):
    """The same descriptor with a fresh signature (ECDSA signatures differ from one signing to the next)."""
    signature = signed_descriptor(former.descriptor, qvs_site.TEST_PRIVATE_KEY)
    assert signature != former.signature
    site.signature.write_bytes(signature)
    return published(site, former.version, former.package)


def republish_same_version(site, former):
    """Version 1.0.0 again, with another package under another name: signed by hand, since the
    publisher's tool refuses to change a published version."""
    package = qvs_site.sample_package("1.0.0") + b"\0rebuilt"
    name = "QuorvantisSupportHost-1.0.0-rebuilt.exe"
    site.package(name).write_bytes(package)
    descriptor = (f"QVS-SUPPORT-UPDATE-V1\nversion=1.0.0\npath=/downloads/client/packages/{name}\n"
                  f"size={len(package)}\nsha256={hashlib.sha256(package).hexdigest()}\n").encode()
    site.manifest.write_bytes(descriptor)
    site.signature.write_bytes(signed_descriptor(descriptor, qvs_site.TEST_PRIVATE_KEY))
    return published(site, "1.0.0", package)


def host_target(release):
    return ("versions", release.version, "QuorvantisSupportHost.exe")


@dataclasses.dataclass(frozen=True)
class Row:
    name: str
    change: object  # (site, former release) -> the release the service now publishes
    target: object  # (new release) -> the store path whose staging file cannot be opened
    top: tuple  # "new" or "former" for each of TOP_FILES afterwards
    package_stored: bool  # whether the new release's package lies in its version folder afterwards
    starts: str  # "new", "former", or None when nothing usable is left (the store failure is shown)


ROWS = [
    Row("package", publish_newer, host_target, ("former", "former", "former"), False, "former"),
    Row("descriptor", publish_newer, lambda new: ("stable.manifest",), ("former", "former", "former"), True,
        "former"),
    Row("signature", publish_newer, lambda new: ("stable.manifest.sig",), ("new", "former", "former"), True, None),
    # The former signature still verifies a descriptor that did not change.
    Row("signature, same descriptor", resign_same_descriptor, lambda new: ("stable.manifest.sig",),
        ("new", "former", "former"), True, "former"),
    Row("current version", publish_newer, lambda new: ("current.txt",), ("new", "new", "former"), True, None),
    # "current.txt" already names the version of the new descriptor, whose package was stored.
    Row("current version, same version", republish_same_version, lambda new: ("current.txt",),
        ("new", "new", "former"), True, "new"),
]


def block_staging(road, target):
    """A folder where the staging file of `target` would go, so it cannot be opened for writing."""
    blocker = road.store_file(*target[:-1], target[-1] + ".new")
    blocker.mkdir(parents=True)
    (blocker / "keep").write_bytes(b"")
    return str(blocker.relative_to(road.data_folder))


def assert_started(completed, road, release, starts_before):
    assert completed.returncode == 0
    assert dialogs(completed.trace) == []
    starts = road.host_starts()
    assert len(starts) == starts_before + 1
    assert starts[-1].module_path.lower().endswith(f"\\versions\\{release.version}\\quorvantissupporthost.exe")
    assert road.host_file(release.version).read_bytes() == release.package


def assert_failure_shown(completed, road, sentence, starts_before):
    assert completed.returncode == 1
    assert dialogs(completed.trace) == [Dialog(0, DIALOG_LEAD + sentence, DIALOG_CAPTION, DIALOG_STYLE)]
    assert len(road.host_starts()) == starts_before


def assert_top_files(road, releases):
    """Each of TOP_FILES as written for the release given at its position."""
    manifest, signature, current = releases
    assert road.store_file("stable.manifest").read_bytes() == manifest.descriptor
    assert road.store_file("stable.manifest.sig").read_bytes() == signature.signature
    assert road.store_file("current.txt").read_bytes() == current.version.encode()


@pytest.mark.parametrize("row", ROWS, ids=[row.name for row in ROWS])
def test_store_step_fails(road, site, stored, row):
    former = stored.release
    new = row.change(site, former)
    blocker = block_staging(road, row.target(new))

    completed = road.start_installed()

    chosen = {"new": new, "former": former}
    expected_top = tuple(chosen[which] for which in row.top)
    assert_top_files(road, expected_top)
    if new.version != former.version:
        assert road.host_file(former.version).read_bytes() == former.package
    if row.package_stored:
        assert road.host_file(new.version).read_bytes() == new.package
    else:
        assert not road.host_file(new.version).exists()
    # The blocking folder is the only staging entry: every other staging file was renamed.
    assert road.staging_files() == [blocker]
    if row.starts:
        assert_started(completed, road, chosen[row.starts], 1)
    else:
        assert_failure_shown(completed, road, STORE_FAILED, 1)

    # A later start without the service finds the same store.
    stored.server.stop()
    later = road.start_installed()
    if row.starts:
        assert_started(later, road, chosen[row.starts], 2)
    else:
        assert_failure_shown(later, road, REQUEST_FAILED, 1)
    assert_top_files(road, expected_top)


def test_package_store_fails_while_a_damaged_copy_of_the_same_release_is_replaced(road, site, stored):
    former = stored.release
    host = road.host_file(former.version)
    damaged = former.package[:-1] + bytes([former.package[-1] ^ 0xFF])
    host.write_bytes(damaged)
    blocker = block_staging(road, host_target(former))

    completed = road.start_installed()
    # The damaged copy stays, so nothing usable is left and the store failure is shown.
    assert_failure_shown(completed, road, STORE_FAILED, 1)
    assert host.read_bytes() == damaged
    assert_top_files(road, (former, former, former))
    assert road.staging_files() == [blocker]
    paths = [entry.path for entry in stored.server.wait_for_entries(6)]
    assert paths[3:] == ["/downloads/client/stable.manifest", "/downloads/client/stable.manifest.sig",
                         "/downloads/client/packages/QuorvantisSupportHost-1.0.0.exe"]

    stored.server.stop()
    assert_failure_shown(road.start_installed(), road, REQUEST_FAILED, 1)


@pytest.mark.parametrize("name", ["stable.manifest", "current.txt"])
def test_rename_over_a_folder_fails_and_removes_the_staging_file(road, site, stored, name):
    former = stored.release
    new = publish_newer(site, former)
    target = road.store_file(name)
    target.unlink()
    target.mkdir()
    (target / "occupant").write_bytes(b"keeps the folder non-empty")

    completed = road.start_installed()
    # The folder cannot be read as a release file either, so nothing usable is left.
    assert_failure_shown(completed, road, ACTIVATE_FAILED, 1)
    assert road.staging_files() == []
    assert (target / "occupant").read_bytes() == b"keeps the folder non-empty"
    assert road.host_file(new.version).read_bytes() == new.package
    if name == "current.txt":
        # Written before the failed step, in order.
        assert road.store_file("stable.manifest").read_bytes() == new.descriptor
        assert road.store_file("stable.manifest.sig").read_bytes() == new.signature
    else:
        # The refresh stopped at its first top file.
        assert road.store_file("stable.manifest.sig").read_bytes() == former.signature
        assert road.store_file("current.txt").read_bytes() == former.version.encode()

    stored.server.stop()
    assert_failure_shown(road.start_installed(), road, REQUEST_FAILED, 1)


def test_read_only_current_version_record_is_replaced(road, site, stored):
    current = road.store_file("current.txt")
    current.chmod(0o444)  # Wine's read-only mark
    new = publish_newer(site, stored.release)
    # Windows refuses to replace a read-only file, Wine does not: the scanner holds it while marked.
    with road.scanner(hold_ms=0, hold_while_read_only=[current]) as held:
        assert qvs_wine.windows_path(current) in held
        completed = road.start_installed()

    assert_started(completed, road, new, 1)
    assert_top_files(road, (new, new, new))
    assert current.stat().st_mode & 0o200
    assert road.staging_files() == []
    stored.server.stop()
    assert_started(road.start_installed(), road, new, 2)


def test_full_disk_during_a_download_keeps_the_stored_release_and_frees_the_disk(road, site, stored):
    package = qvs_site.sample_package("2.0.0") + bytes(4 << 20)
    site.publish("2.0.0", package_bytes=package)
    # The data folder on a small file system of its own that the new package does not fit on.
    used = sum(path.stat().st_size for path in road.data_folder.rglob("*") if path.is_file())
    data = shlex.quote(str(road.data_folder))
    free = f'echo free=$(df -B1 --output=avail {data} | tail -n 1)'
    wrapper = mount_namespace(
        f'saved=$(mktemp -d)\ncp -a {data}/. "$saved"\nmount -t tmpfs -o size={used + (1 << 20)} tmpfs {data}\n'
        f'cp -a "$saved"/. {data}\nrm -rf "$saved"\n{free}',
        f'{free}\nfind {data} -name "*.new"')

    completed = road.start_installed(wrapper=wrapper)
    report = completed.stdout.split()
    assert report[0].startswith("free=") and int(report[0][5:]) < len(package)
    assert_started(completed, road, stored.release, 1)
    # The partial package was removed: the disk is as free as before and no staging file is left.
    assert report[1:] == [report[0]]
    assert_top_files(road, (stored.release,) * 3)
