"""From nothing to a release the launcher accepts: keygen, publish, then the launcher's own
--verify-package on the published tree, and qvs-release verify agreeing with it on every input."""

import os
import subprocess

import pytest

import qvs_host_log
import qvs_softhsm
import qvs_wine
from qvs_site import CLIENT, TEST_PRIVATE_KEY, sample_package


def publish(tool, key, site, version, package_bytes, workdir):
    upload = workdir / f"upload-{version}.exe"
    upload.write_bytes(package_bytes)
    result = subprocess.run([str(tool), "publish", "--private-key", key.private_key, *map(str, key.options), "--site",
                             str(site), "--version", version, "--package", str(upload)], capture_output=True,
                            text=True, timeout=120, env={**os.environ, **key.env})
    assert result.returncode == 0, result.stderr
    return site / CLIENT / "packages" / f"QuorvantisSupportHost-{version}.exe"


def launcher_verify(wine, launcher, *paths):
    return wine.run(launcher, "--verify-package", *map(qvs_wine.windows_path, paths)).returncode


def tool_verify(tool, public_key, *paths):
    result = subprocess.run([str(tool), "verify", "--public-key", str(public_key), *map(str, paths)],
                            capture_output=True, text=True, timeout=120)
    return result.returncode


@pytest.fixture(scope="module")
def site(qvs_release, release_key, sample_host, tmp_path_factory):
    """A tree with two releases published in turn; 2.0 is current."""
    work = tmp_path_factory.mktemp("publisher-site")
    root = work / "site"
    old_package = publish(qvs_release, release_key, root, "1.0", sample_package("1.0"), work)
    new_package = publish(qvs_release, release_key, root, "2.0", sample_package("2.0"), work)
    return {"root": root, "work": work, "old_package": old_package, "new_package": new_package,
            "manifest": root / CLIENT / "stable.manifest", "signature": root / CLIENT / "stable.manifest.sig"}


def test_launcher_built_with_the_key_accepts_the_published_tree(wine, launcher_with_key, site):
    assert launcher_verify(wine, launcher_with_key, site["manifest"], site["signature"], site["new_package"]) == 0


def test_no_file_holds_the_private_key_in_the_clear(release_key, site):
    """The site, the publisher's folders and the key's own folder hold no private key in the clear; a key
    made in a token stays there, sensitive and never extractable."""
    outside = release_key.token.folder if release_key.token else None
    for root in (site["root"], site["work"], release_key.folder):
        assert qvs_softhsm.files_holding_a_clear_private_key(root, release_key.secret, outside) == [], root
    if release_key.token:
        assert release_key.token.access_of("update-key") == "sensitive, always sensitive, never extractable, local"


def test_test_key_launcher_refuses_the_release(wine, site):
    """A launcher that trusts another key refuses the very same files."""
    if not qvs_wine.LAUNCHER.exists():
        pytest.skip(f"no test-key launcher at {qvs_wine.LAUNCHER}")
    assert launcher_verify(wine, qvs_wine.LAUNCHER, site["manifest"], site["signature"], site["new_package"]) == 1


def _edit_cases(site):
    manifest = site["manifest"].read_bytes()
    signature = site["signature"].read_bytes()
    package = site["new_package"].read_bytes()
    other_signature = subprocess.run(  # the committed test key: valid signature, untrusted key
        ["openssl", "dgst", "-sha256", "-sign", str(TEST_PRIVATE_KEY)], input=manifest, capture_output=True,
        check=True).stdout
    flipped_signature = bytearray(signature)
    flipped_signature[10] ^= 0x01
    changed_package = bytearray(package)
    changed_package[len(package) // 2] ^= 0xFF
    return {
        # name: (descriptor, signature, package, expected exit code); None means "file absent"
        "published": (manifest, signature, package, 0),
        "descriptor with an added LF": (manifest + b"\n", signature, package, 1),
        "descriptor with CR LF line ends": (manifest.replace(b"\n", b"\r\n"), signature, package, 1),
        "descriptor version edited": (manifest.replace(b"version=2.0", b"version=2.1"), signature, package, 1),
        "signature with one bit flipped": (manifest, bytes(flipped_signature), package, 1),
        "signature of 63 bytes": (manifest, signature[:63], package, 1),
        "signature of 65 bytes": (manifest, signature + b"\0", package, 1),
        "signature in DER form": (manifest, other_signature, package, 1),
        "empty signature": (manifest, b"", package, 1),
        "package with one byte changed": (manifest, signature, bytes(changed_package), 3),
        "package one byte short": (manifest, signature, package[:-1], 3),
        "package one byte longer": (manifest, signature, package + b"\0", 3),
        "older release's package": (manifest, signature, site["old_package"].read_bytes(), 3),
        "package missing": (manifest, signature, None, 1),
        "descriptor missing": (None, signature, package, 1),
    }


def test_qvs_release_verify_answers_as_the_launcher(wine, launcher_with_key, release_key, qvs_release, site):
    outcomes = {}
    for name, (descriptor, signature, package, expected) in _edit_cases(site).items():
        folder = site["work"] / "cases" / name.replace(" ", "-").replace("'", "")
        folder.mkdir(parents=True)
        paths = [folder / "stable.manifest", folder / "stable.manifest.sig", folder / "package.exe"]
        for path, content in zip(paths, (descriptor, signature, package)):
            if content is not None:
                path.write_bytes(content)
        outcomes[name] = (expected, launcher_verify(wine, launcher_with_key, *paths),
                          tool_verify(qvs_release, release_key.public_key, *paths))
    # Wrong argument counts answer 2 on both sides.
    two = [site["manifest"], site["signature"]]
    outcomes["two paths"] = (2, launcher_verify(wine, launcher_with_key, *two),
                             tool_verify(qvs_release, release_key.public_key, *two))
    wrong = {name: outcome for name, outcome in outcomes.items() if len(set(outcome)) != 1}
    assert not wrong, "expected, launcher, qvs-release: " + repr(wrong)


def test_republishing_the_same_release_changes_nothing_the_launcher_sees(wine, launcher_with_key, qvs_release,
                                                                        release_key, site):
    before = site["new_package"].read_bytes()
    publish(qvs_release, release_key, site["root"], "2.0", sample_package("2.0"), site["work"])
    assert site["new_package"].read_bytes() == before
    assert launcher_verify(wine, launcher_with_key, site["manifest"], site["signature"], site["new_package"]) == 0


def _host_starts(wine):
    return qvs_host_log.read_starts(qvs_host_log.log_path(wine.local_app_data))


def test_sample_host_records_a_start_without_arguments(wine, sample_host, tmp_path):
    before = len(_host_starts(wine))
    result = wine.run(sample_host, cwd=tmp_path)
    assert result.returncode == 0
    starts = _host_starts(wine)
    assert len(starts) == before + 1
    start = starts[-1]
    assert start.module_path.lower() == qvs_wine.windows_path(sample_host).lower()
    assert start.arguments == []
    assert start.working_directory.rstrip("\\").lower() == qvs_wine.windows_path(tmp_path).lower()


def test_sample_host_records_its_arguments_as_given(wine, sample_host, tmp_path):
    arguments = ["--flag", "two words", 'quote"inside', "100%", "tab\tin"]
    assert wine.run(sample_host, *arguments, cwd=tmp_path).returncode == 0
    start = _host_starts(wine)[-1]
    assert start.arguments == arguments
    assert qvs_host_log.split_command_line(start.command_line)[0].lower().endswith("quorvantissupporthost.exe")
