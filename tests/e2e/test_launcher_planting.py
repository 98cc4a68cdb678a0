"""DLLs planted beside the launcher, where a browser's Downloads folder lets anyone drop them, are
never loaded: neither by the downloaded launcher nor by the installed copy that refreshes."""

import shutil

import pytest

from road import dialogs

import qvs_wine

PLANTED = qvs_wine.BUILD_DIR / "tests" / "launcher" / "planted"
NAMES = ("bcrypt", "winhttp", "crypt32")
# Prefer a DLL found beside the program over Wine's built-in one, as a Windows search would.
NATIVE_FIRST = {"WINEDLLOVERRIDES": "bcrypt,winhttp,crypt32=n,b;" + qvs_wine.BASE_DLL_OVERRIDES}


def plant(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for name in NAMES:
        shutil.copy(PLANTED / f"{name}.dll", folder / f"{name}.dll")


def markers(*folders):
    return sorted(str(path) for folder in folders for path in folder.glob("planted-*-loaded.txt"))


@pytest.mark.parametrize("name", NAMES)
def test_a_plain_program_would_load_the_planted_dll(road, name):
    # Without this, the absence of markers below would prove nothing.
    folder = road.prefix.downloads / "probe"
    plant(folder)
    shutil.copy(qvs_wine.BUILD_DIR / "tests" / "launcher" / "load_probe.exe", folder / "load_probe.exe")
    completed = road.prefix.run(folder / "load_probe.exe", f"{name}.dll", env=NATIVE_FIRST)
    assert completed.returncode == 0
    assert (folder / f"planted-{name}-loaded.txt").exists()


def test_planted_dlls_are_never_loaded_on_the_whole_road(road, site, serve_tree):
    site.publish("5.0.0")
    server = serve_tree(site.root)
    plant(road.prefix.downloads)
    plant(road.data_folder)
    downloaded = road.download()

    first = road.start(downloaded, relay=["user32.MessageBoxW"], env=NATIVE_FIRST)
    assert first.returncode == 0
    assert dialogs(first.trace) == []
    # The installed copy fetched, verified and hashed (WinHTTP and CNG in use) and started the host.
    assert len(server.wait_for_entries(3)) == 3
    assert len(road.host_starts()) == 1
    assert markers(road.prefix.downloads, road.data_folder) == []
