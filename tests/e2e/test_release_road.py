"""The release road: Authenticode signing with a throwaway certificate (a PEM key and a PKCS#11
token), the signed launcher under Wine, and, marked `reproducibility` (slow: two release builds),
byte-identical builds from two checkouts and the auditor's check."""

import dataclasses
import hashlib
import os
import shutil
import subprocess
import warnings

import pytest

import qvs_softhsm
import qvs_wine
from test_launcher_road import check_first_start_from_downloads

import port_lock

SCRIPTS = qvs_wine.SOURCE_DIR / "scripts"
KEYS = qvs_wine.SOURCE_DIR / "tests" / "keys"
RELEASE_HOST = "updates.example.com"
EXES = {"QuorvantisSupport.exe": "launcher", "QuorvantisSupportHost.exe": "host"}


def run(*command, env=None, timeout=120):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **(env or {})})


def osslsigncode(*args):
    return run("osslsigncode", *args)


@dataclasses.dataclass(frozen=True)
class Signer:
    cert: object
    options: tuple  # sign-exe.sh options naming the key
    env: dict


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    """A throwaway self-signed code-signing certificate and its key."""
    folder = tmp_path_factory.mktemp("code-signing")
    cert, key = folder / "cert.pem", folder / "key.pem"
    made = run("openssl", "req", "-x509", "-newkey", "rsa:3072", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
               "-subj", "/CN=Quorvantis Throwaway Code Signing", "-addext", "extendedKeyUsage=codeSigning",
               "-addext", "keyUsage=critical,digitalSignature")
    assert made.returncode == 0, made.stderr
    return cert, key


def pem_signer(certificate, folder):
    cert, key = certificate
    return Signer(cert, ("--signing-key", key), {})


def token_signer(certificate, folder):
    """The same key inside a SoftHSM token, addressed by a PKCS#11 URI."""
    cert, key = certificate
    token = qvs_softhsm.make_token(folder, label="qvs-release")
    der = folder / "key.der"
    done = run("openssl", "pkey", "-in", key, "-outform", "DER", "-out", der)
    assert done.returncode == 0, done.stderr
    token.pkcs11_tool("--write-object", der, "--type", "privkey", "--id", "01", "--label", "code-signing")
    der.unlink()
    uri = "pkcs11:token=qvs-release;object=code-signing;type=private"
    return Signer(cert, ("--signing-key", uri, "--pkcs11-module", qvs_softhsm.MODULE, "--pin-file", token.pin_file),
                  token.env)


def sign_launcher(make_signer, certificate, folder):
    """The test launcher signed through sign-exe.sh: (signed file, its detached signature)."""
    signer = make_signer(certificate, folder)
    out = folder / "QuorvantisSupport.exe"
    done = run(SCRIPTS / "sign-exe.sh", "--cert", signer.cert, *signer.options, qvs_wine.LAUNCHER, out, env=signer.env)
    assert done.returncode == 0, done.stderr
    return out, out.with_name(out.name + ".p7s")


@pytest.fixture(scope="module", params=[pem_signer, token_signer], ids=["PEM key", "PKCS#11 token"])
def signed(request, certificate, tmp_path_factory):
    return sign_launcher(request.param, certificate, tmp_path_factory.mktemp("signed"))


@pytest.fixture(scope="module")
def pem_signed(certificate, tmp_path_factory):
    return sign_launcher(pem_signer, certificate, tmp_path_factory.mktemp("pem-signed"))[0]


def flip_one_byte(data):
    middle = len(data) // 2
    return data[:middle] + bytes([data[middle] ^ 1]) + data[middle + 1:]


@pytest.mark.parametrize("case", ["verified", "one byte changed", "signature removed", "signature attached"])
def test_authenticode_signature(signed, certificate, tmp_path, case):
    signed_file, detached = signed
    unsigned = qvs_wine.LAUNCHER.read_bytes()
    out = tmp_path / "out.exe"
    if case == "verified":
        assert osslsigncode("verify", "-CAfile", certificate[0], "-in", signed_file).returncode == 0
    elif case == "one byte changed":
        out.write_bytes(flip_one_byte(signed_file.read_bytes()))
        assert osslsigncode("verify", "-CAfile", certificate[0], "-in", out).returncode != 0
    elif case == "signature removed":
        assert osslsigncode("remove-signature", "-in", signed_file, "-out", out).returncode == 0
        assert out.read_bytes() == unsigned
    else:
        osslsigncode("attach-signature", "-sigin", detached, "-in", qvs_wine.LAUNCHER, "-out", out)
        assert out.read_bytes() == signed_file.read_bytes()


def test_signed_launcher_verifies_packages_like_the_unsigned(pem_signed, trusting_prefix, site, tmp_path):
    package = site.publish("1.0.0")
    other = tmp_path / "other.exe"
    other.write_bytes(package + b"x")
    published = site.package("QuorvantisSupportHost-1.0.0.exe")
    cases = [((site.manifest, site.signature, published), 0), ((site.manifest, site.signature, other), 3),
             ((site.manifest, site.manifest, published), 1), ((site.manifest, site.signature), 2)]
    for files, expected in cases:
        args = ["--verify-package", *map(qvs_wine.windows_path, files)]
        answers = [trusting_prefix.run(program, *args).returncode for program in (qvs_wine.LAUNCHER, pem_signed)]
        assert answers == [expected, expected], files


def test_signed_launcher_road_from_downloads(pem_signed, road, site, serve_tree):
    with port_lock.port_443():
        check_first_start_from_downloads(road, site, serve_tree, pem_signed)


# The reproducibility half: a release from one checkout, the auditor's rebuild from another.

@dataclasses.dataclass(frozen=True)
class Release:
    folder: object
    build: object  # release.sh's build folder
    audit_work: object
    rebuild: object  # the auditor's build folder
    audit: subprocess.CompletedProcess


def verify_release(work, *targets):
    return run(SCRIPTS / "verify-release.sh", "--work", work, *targets, timeout=1800,
               env={"TZ": "Pacific/Kiritimati", "LC_ALL": "C.UTF-8"})


@pytest.fixture(scope="module")
def release(certificate, tmp_path_factory):
    """scripts/release.sh with the throwaway certificate, then scripts/verify-release.sh from a
    second checkout at another path, in another build folder, clock zone and locale."""
    commit = run("git", "-C", qvs_wine.SOURCE_DIR, "rev-parse", "HEAD").stdout.strip()
    if run("git", "-C", qvs_wine.SOURCE_DIR, "status", "--porcelain").stdout.strip():
        warnings.warn(f"the work tree has uncommitted changes: this builds and compares commit {commit} only")
    root = tmp_path_factory.mktemp("release road")
    folder, first = root / "release", root / "publisher"
    made = run(SCRIPTS / "release.sh", "--key", KEYS / "other_key.pub", "--host", RELEASE_HOST, "--out", folder,
               "--work", first, "--cert", certificate[0], "--signing-key", certificate[1], timeout=1800,
               env={"TZ": "UTC", "LC_ALL": "C"})
    assert made.returncode == 0, made.stdout + made.stderr
    audit_work = root / "second place" / "audit"
    audit = verify_release(audit_work, folder)
    return Release(folder, first / "build", audit_work, audit_work / "build", audit)


@pytest.mark.reproducibility
@pytest.mark.parametrize("name", EXES)
def test_two_checkouts_build_the_same_bytes(release, name):
    built = (release.build / EXES[name] / name).read_bytes()
    rebuilt = (release.rebuild / EXES[name] / name).read_bytes()
    print(f"{name}: {hashlib.sha256(built).hexdigest()} and {hashlib.sha256(rebuilt).hexdigest()}")
    assert built == rebuilt
    record = (release.folder / name.replace(".exe", ".buildinfo")).read_text()
    assert f"unsigned_sha256={hashlib.sha256(built).hexdigest()}\n" in record


@pytest.mark.reproducibility
def test_the_auditor_finds_an_honest_release_matches(release):
    assert release.audit.returncode == 0, release.audit.stdout + release.audit.stderr
    lines = release.audit.stdout.splitlines()
    for name in EXES:
        assert f"{name}: match (Authenticode signature removed)" in lines
    assert lines[-1] == "match"


@pytest.mark.reproducibility
@pytest.mark.parametrize("name", EXES)
def test_the_detached_signature_on_the_rebuild_gives_the_shipped_file(release, tmp_path, name):
    shipped = release.folder / name
    out = tmp_path / name
    osslsigncode("attach-signature", "-sigin", shipped.with_name(name + ".p7s"),
                 "-in", release.rebuild / EXES[name] / name, "-out", out)
    assert out.read_bytes() == shipped.read_bytes()
    assert osslsigncode("remove-signature", "-in", shipped, "-out", tmp_path / "removed.exe").returncode == 0
    assert (tmp_path / "removed.exe").read_bytes() == (release.rebuild / EXES[name] / name).read_bytes()


def build_launcher(release, out, key=KEYS / "other_key.pub", host=RELEASE_HOST, allow_test_key="OFF"):
    """The launcher rebuilt in the publisher's build folder with `key` and `host`, copied to `out`."""
    configured = run("cmake", release.build, f"-DQVS_ALLOW_TEST_KEY={allow_test_key}",
                     f"-DQVS_TRUSTED_KEY_FILE={key}", f"-DQVS_UPDATE_HOST={host}", timeout=300)
    assert configured.returncode == 0, configured.stderr
    built = run("cmake", "--build", release.build, "--target", "QuorvantisSupport", timeout=900)
    assert built.returncode == 0, built.stdout
    shutil.copyfile(release.build / "launcher" / "QuorvantisSupport.exe", out)


TEST_KEY_SHA256 = hashlib.sha256((KEYS / "test_update_key.pub").read_bytes()).hexdigest()


@pytest.mark.reproducibility
@pytest.mark.parametrize("build, named", [
    ({"key": KEYS / "test_update_key.pub", "allow_test_key": "ON"}, f"the trusted update key: recorded sha256 "
     f"{hashlib.sha256((KEYS / 'other_key.pub').read_bytes()).hexdigest()}, shipped sha256 {TEST_KEY_SHA256}"),
    ({"host": "updates.example.org"}, f'the update host: recorded "{RELEASE_HOST}", shipped "updates.example.org"'),
], ids=["another key", "another host"])
def test_the_auditor_names_what_differs(release, tmp_path, build, named):
    shipped = tmp_path / "QuorvantisSupport.exe"
    build_launcher(release, shipped, **build)
    build_launcher(release, tmp_path / "honest.exe")  # the publisher's folder as release.sh left it
    for name in ("QuorvantisSupport.buildinfo", "update-key.pub"):
        shutil.copyfile(release.folder / name, tmp_path / name)
    audit = verify_release(release.audit_work, shipped)
    assert audit.returncode == 1, audit.stdout + audit.stderr
    assert f"QuorvantisSupport.exe: differs: {named}" in audit.stdout.splitlines()
    assert "match" not in audit.stdout.splitlines()
