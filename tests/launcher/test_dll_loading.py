"""DLL planting: the launcher's import table names only KnownDLLs, and a bcrypt.dll planted beside
it (as in a Downloads folder) is never loaded, while a program that searches the default way
does load it."""

import shutil

import pytest

import pe_file
from conftest import run_launcher
from qvs_wine import BASE_DLL_OVERRIDES, BUILD_DIR, LAUNCHER, windows_path
from signed_release import descriptor, sample_package, sign

# Windows' KnownDLLs: always mapped from System32, whatever lies beside the program.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll", "gdi32.dll",
    "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll",
    "nsi.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll",
    "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}
PLANTED_DLL = BUILD_DIR / "tests" / "launcher" / "planted" / "bcrypt.dll"
LOAD_PROBE = BUILD_DIR / "tests" / "launcher" / "load_probe.exe"
STACK_SMASH_PROBE = BUILD_DIR / "tests" / "launcher" / "stack_smash_probe.exe"
MARKER = "planted-bcrypt-loaded.txt"
NATIVE_BCRYPT_FIRST = {"WINEDLLOVERRIDES": "bcrypt=n,b;" + BASE_DLL_OVERRIDES}


def test_imports_name_only_known_dlls():
    image = pe_file.read(LAUNCHER)
    imports = [name.lower() for name in image.imported_dlls()]
    assert imports, "no import directory found"
    assert set(imports) <= KNOWN_DLLS, set(imports) - KNOWN_DLLS
    assert "kernel32.dll" in imports
    assert image.delay_imported_dlls() == []


def test_is_a_hardened_64_bit_gui_program():
    data = LAUNCHER.read_bytes()
    image = pe_file.PeFile(data)
    assert image.machine == 0x8664
    assert image.subsystem == 2  # IMAGE_SUBSYSTEM_WINDOWS_GUI
    # High-entropy ASLR, relocatable, no-execute data, and aware of Remote Desktop sessions (no
    # per-session compatibility shims for the shared folders of a terminal server).
    for flag, name in ((0x20, "HIGH_ENTROPY_VA"), (0x40, "DYNAMIC_BASE"), (0x100, "NX_COMPAT"),
                       (0x8000, "TERMINAL_SERVER_AWARE")):
        assert image.dll_characteristics & flag, name
    # The launcher's only imports stay the KnownDLLs: no runtime library of the stack protector.
    assert "advapi32.dll" not in [name.lower() for name in image.imported_dlls()]


def test_the_stack_protector_ends_a_smashed_program(wine):
    """Every program is built with -fstack-protector-strong and the project's own guard: a buffer
    overrun ends the process with STATUS_STACK_BUFFER_OVERRUN (Wine hands on its low byte)."""
    assert wine.run(STACK_SMASH_PROBE, "x" * 8).returncode == 0
    assert wine.run(STACK_SMASH_PROBE, "x" * 400).returncode == 0xC0000409 & 0xFF


@pytest.fixture
def download_folder(wine):
    """A folder in the prefix's Downloads holding the launcher and the planted bcrypt.dll."""
    folder = wine.downloads / "planted"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    shutil.copy(LAUNCHER, folder / "QuorvantisSupport.exe")
    shutil.copy(PLANTED_DLL, folder / "bcrypt.dll")
    shutil.copy(LOAD_PROBE, folder / "load_probe.exe")
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def test_default_search_would_load_the_planted_dll(wine, download_folder):
    # Without this the absence of the marker below would prove nothing.
    result = wine.run(download_folder / "load_probe.exe", env=NATIVE_BCRYPT_FIRST)
    assert result.returncode == 0
    assert (download_folder / MARKER).exists()


@pytest.mark.parametrize("package_bytes,expected", [(sample_package(), 0), (sample_package()[:-1] + b"x", 3)],
                         ids=["match", "digest differs"])
def test_verification_never_loads_the_planted_dll(wine, download_folder, tmp_path, package_bytes, expected):
    text = descriptor(sample_package())
    (tmp_path / "d").write_bytes(text)
    (tmp_path / "s").write_bytes(sign(text))
    (tmp_path / "p").write_bytes(package_bytes)
    result = run_launcher(wine, "--verify-package", *(windows_path(tmp_path / n) for n in "dsp"),
                          program=download_folder / "QuorvantisSupport.exe", env=NATIVE_BCRYPT_FIRST)
    # The answer needs SHA-256 and ECDSA, so bcrypt was loaded: from System32, not from here.
    assert result.returncode == expected
    assert not (download_folder / MARKER).exists()
    assert result.dialogs == []
