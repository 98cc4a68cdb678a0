"""The real executable in verification mode: exit codes, no dialog, nothing written; and the
command lines that look similar but select normal mode."""

import os

import pytest

from conftest import run_launcher
from qvs_wine import LAUNCHER, windows_path
from signed_release import OTHER_KEY, descriptor, sample_package, sign, sign_der

PACKAGE = sample_package()
DESCRIPTOR = descriptor(PACKAGE)
SIGNATURE = sign(DESCRIPTOR)


def padded_descriptor(total):
    """The sample descriptor grown with empty lines (which the parse skips) to `total` bytes."""
    return DESCRIPTOR + b"\n" * (total - len(DESCRIPTOR))


def edited_after_signing():
    shorter = PACKAGE[:-1]
    return descriptor(shorter), SIGNATURE, shorter


def signed(text, package=PACKAGE):
    return text, sign(text), package


# (id, descriptor, signature, package, exit code); None stands for a missing file.
CASES = [
    ("match", DESCRIPTOR, SIGNATURE, PACKAGE, 0),
    ("descriptor of exactly 4096 bytes", *signed(padded_descriptor(4096)), 0),
    ("package one byte short", DESCRIPTOR, SIGNATURE, PACKAGE[:-1], 3),
    ("package one byte long", DESCRIPTOR, SIGNATURE, PACKAGE + b"\0", 3),
    ("same size, digest differs", DESCRIPTOR, SIGNATURE, bytes([PACKAGE[0] ^ 1]) + PACKAGE[1:], 3),
    ("missing descriptor", None, SIGNATURE, PACKAGE, 1),
    ("missing signature", DESCRIPTOR, None, PACKAGE, 1),
    ("missing package", DESCRIPTOR, SIGNATURE, None, 1),
    ("descriptor of 4097 bytes", *signed(padded_descriptor(4097)), 1),
    ("signature of 65 bytes", DESCRIPTOR, SIGNATURE + b"\0", PACKAGE, 1),
    ("signature of 63 bytes", DESCRIPTOR, SIGNATURE[:63], PACKAGE, 1),
    ("empty signature", DESCRIPTOR, b"", PACKAGE, 1),
    ("DER signature", DESCRIPTOR, sign_der(DESCRIPTOR), PACKAGE, 1),
    ("descriptor edited after signing", *edited_after_signing(), 1),
    ("unsigned: zero signature", DESCRIPTOR, b"\0" * 64, PACKAGE, 1),
    ("signed by another key", DESCRIPTOR, sign(DESCRIPTOR, OTHER_KEY), PACKAGE, 1),
    ("signed but malformed descriptor", *signed(DESCRIPTOR.replace(b"version=3.1.4", b"version=3.1 4")), 1),
    ("package over 16 MiB", DESCRIPTOR, SIGNATURE, PACKAGE + b"\0" * (16777217 - len(PACKAGE)), 1),
]


def write_release(folder, descriptor_bytes, signature_bytes, package_bytes):
    paths = []
    for name, content in (("stable.manifest", descriptor_bytes), ("stable.manifest.sig", signature_bytes),
                          ("package.exe", package_bytes)):
        path = folder / name
        if content is not None:
            path.write_bytes(content)
        paths.append(windows_path(path))
    return paths


def tree(root):
    """Every folder and file under `root` with its size and modification time."""
    listing = {}
    for folder, _, files in os.walk(root):
        listing[folder] = None
        for name in files:
            stat = os.stat(os.path.join(folder, name))
            listing[os.path.join(folder, name)] = (stat.st_size, stat.st_mtime_ns)
    return listing


@pytest.mark.parametrize("descriptor_bytes,signature_bytes,package_bytes,expected",
                         [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_exit_code_without_dialog(wine, tmp_path, descriptor_bytes, signature_bytes, package_bytes, expected):
    paths = write_release(tmp_path, descriptor_bytes, signature_bytes, package_bytes)
    result = run_launcher(wine, "--verify-package", *paths)
    assert result.returncode == expected
    assert result.dialogs == []


@pytest.mark.parametrize("count", [0, 1, 2, 4, 5])
def test_other_path_counts_answer_two_without_reading(wine, tmp_path, count):
    # Valid files, so only the count can make the answer differ from 0 (three paths answer 0).
    paths = write_release(tmp_path, DESCRIPTOR, SIGNATURE, PACKAGE)
    arguments = (paths * 2)[:count]
    result = run_launcher(wine, "--verify-package", *arguments)
    assert result.returncode == 2
    assert result.dialogs == []


def test_verification_writes_nothing(wine, tmp_path):
    inputs = tmp_path / "inputs"
    inputs.mkdir()
    paths = write_release(inputs, DESCRIPTOR, SIGNATURE, PACKAGE)
    workdir = tmp_path / "cwd"
    workdir.mkdir()
    before_user = tree(wine.user_dir)
    for package in (PACKAGE, PACKAGE[:-1]):
        (inputs / "package.exe").write_bytes(package)
        before_inputs = tree(inputs)
        result = run_launcher(wine, "--verify-package", *paths, cwd=workdir)
        assert result.returncode in (0, 3)
        assert tree(inputs) == before_inputs
    assert tree(wine.user_dir) == before_user
    assert not (wine.local_app_data / "Quorvantis Software").exists()
    assert list(workdir.iterdir()) == []


@pytest.mark.parametrize("arguments", [
    [],
    ["--Verify-Package", "{d}", "{s}", "{p}"],
    ["--VERIFY-PACKAGE", "{d}", "{s}", "{p}"],
    ["--verify-package={d}", "{s}", "{p}", "{p}"],
    ["x", "--verify-package", "{d}", "{s}", "{p}"],
], ids=["no arguments", "capitalised flag", "upper-case flag", "flag with value", "flag as argument 2"])
def test_other_command_lines_select_normal_mode(wine, tmp_path, arguments):
    # Real files behind the paths: verification mode would answer 0 for these. Normal mode run
    # from the build folder installs itself and hands over to the installed copy instead.
    d, s, p = write_release(tmp_path, DESCRIPTOR, SIGNATURE, PACKAGE)
    installed = wine.data_folder / "QuorvantisSupport.exe"
    installed.unlink(missing_ok=True)
    result = run_launcher(wine, *(argument.format(d=d, s=s, p=p) for argument in arguments))
    wine.wait_idle()
    assert result.returncode == 0
    assert result.dialogs == []
    assert installed.read_bytes() == LAUNCHER.read_bytes()
