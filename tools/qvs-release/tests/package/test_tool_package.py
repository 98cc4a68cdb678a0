"""The Debian package of qvs-release as a publisher installs it: scripts/package-tool.sh has
written build/tool/qvs-release_<version>_amd64.deb; it is unpacked (dpkg-deb -x) and the packaged
tool is used for real: its version, a keygen / publish / verify-site round trip, its manual page,
and the production build's hardening (no sanitizer runtime, PIE, full RELRO, stack protector,
fortified calls)."""

import gzip
import os
import pathlib
import re
import subprocess

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("QVS_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[4]))
PROJECT_VERSION = re.search(r"project\(QuorvantisSupport VERSION ([0-9.]+)",
                            (SOURCE_DIR / "CMakeLists.txt").read_text()).group(1)
PACKAGE = SOURCE_DIR / "build" / "tool" / f"qvs-release_{PROJECT_VERSION}_amd64.deb"


@pytest.fixture(scope="module")
def unpacked(tmp_path_factory):
    assert PACKAGE.exists(), f"run scripts/package-tool.sh first: {PACKAGE}"
    root = tmp_path_factory.mktemp("package")
    subprocess.run(["dpkg-deb", "-x", str(PACKAGE), str(root)], check=True)
    return root


def run(*args, **kwargs):
    return subprocess.run([str(arg) for arg in args], capture_output=True, text=True, timeout=120, **kwargs)


def test_the_package_declares_what_debian_expects():
    fields = {name: run("dpkg-deb", "-f", PACKAGE, name).stdout.strip()
              for name in ("Package", "Version", "Architecture", "Depends", "Maintainer", "Description")}
    assert (fields["Package"], fields["Version"], fields["Architecture"]) == ("qvs-release", PROJECT_VERSION, "amd64")
    # Read from the binary by dpkg-shlibdeps, not written by hand.
    assert re.search(r"\blibssl3 \(", fields["Depends"]) and re.search(r"\blibcurl4 \(", fields["Depends"])
    assert "@" in fields["Maintainer"]
    summary, *long_description = fields["Description"].splitlines()
    assert summary and len(long_description) >= 2


def test_the_packaged_tool_signs_and_checks_a_release(unpacked, tmp_path):
    tool = unpacked / "usr" / "bin" / "qvs-release"
    version = run(tool, "--version")
    assert version.returncode == 0
    assert re.fullmatch(rf"qvs-release {re.escape(PROJECT_VERSION)}( \(commit [0-9a-f]{{12}}(\+changes)?\))?\n",
                        version.stdout), version.stdout
    assert run(tool, "keygen", "--private-key", tmp_path / "k.pem", "--public-key", tmp_path / "k.pub").returncode == 0
    (tmp_path / "host.exe").write_bytes(b"MZ packaged")
    published = run(tool, "publish", "--private-key", tmp_path / "k.pem", "--site", tmp_path / "site", "--version",
                    "1.0", "--package", tmp_path / "host.exe")
    assert published.returncode == 0, published.stderr
    checked = run(tool, "verify-site", tmp_path / "site")
    assert checked.returncode == 0 and "matches version 1.0" in checked.stdout, checked.stderr


def test_the_manual_page_renders_and_names_every_command_and_the_docs_come_with_it(unpacked):
    tool = unpacked / "usr" / "bin" / "qvs-release"
    page = unpacked / "usr" / "share" / "man" / "man1" / "qvs-release.1.gz"
    gzip.decompress(page.read_bytes())  # compressed as Debian does
    rendered = run("man", "-l", page, env={**os.environ, "MANWIDTH": "100", "MAN_KEEP_FORMATTING": "0"})
    assert rendered.returncode == 0, rendered.stderr
    text = re.sub(r".\x08", "", rendered.stdout)
    listed = run(tool, "--help").stdout.split("Commands:\n", 1)[1].split("\n\n", 1)[0]
    commands = [line.split()[0] for line in listed.splitlines() if line.strip()]
    assert len(commands) >= 6
    for command in commands:
        assert f"Usage: qvs-release {command} " in text, command
    for section in ("SYNOPSIS", "COMMANDS", "EXIT STATUS", "FILES", "ENVIRONMENT", "EXAMPLES", "SEE ALSO"):
        assert f"\n{section}\n" in text, section
    for named in ("QVS_PKCS11_MODULE", "https_proxy", "qvs-site-key.pub", "qvs-log-key.vkey", "qvs-key-switches.txt",
                  "--allow-downgrade", "--switch-to-recovery-key", "--connect-to", "--json"):
        assert named in text, named
    # The guide beside it, its nginx example taken from it, and the copyright file Debian requires.
    docs = unpacked / "usr" / "share" / "doc" / "qvs-release"
    assert (docs / "copyright").read_text().startswith("Format: https://www.debian.org/doc/packaging-manuals/")
    nginx = (docs / "nginx-site.conf").read_text()
    assert "location = /downloads/client/log/checkpoint" in nginx
    assert nginx.split("\n", 1)[1] in (docs / "publishing.md").read_text()


def test_the_packaged_binary_is_the_hardened_production_build(unpacked):
    binary = unpacked / "usr" / "bin" / "qvs-release"
    header = run("readelf", "-h", "-l", "-d", "-W", binary).stdout
    symbols = run("readelf", "--dyn-syms", "-W", binary).stdout
    assert "libasan" not in header and "libubsan" not in header
    assert not re.search(r"__(asan|ubsan|lsan)_", symbols)
    assert "DYN (Position-Independent Executable file)" in header
    assert "GNU_RELRO" in header and re.search(r"\(FLAGS\)\s+BIND_NOW", header)
    assert "__stack_chk_fail" in symbols
    assert re.search(r"__\w+_chk\b", symbols.replace("__stack_chk_fail", ""))
