"""The release log against an independent implementation written here from RFC 6962 and the C2SP
texts (signed-note, tlog-checkpoint, tlog-tiles), with openssl as the signature's verifier."""

import base64
import hashlib
import os
import pathlib
import subprocess

import pytest

from qvs_publisher import TEST_KEYS, run_tool

ORIGIN = "updates.example.com/downloads/client/log"
LOG = "downloads/client/log"
ED25519_SPKI_PREFIX = bytes.fromhex("302a300506032b6570032100")


def leaf_hash(entry):
    return hashlib.sha256(b"\x00" + entry).digest()


def tree_hash(hashes):
    """MTH over leaf hashes (RFC 6962, 2.1)."""
    if not hashes:
        return hashlib.sha256(b"").digest()
    if len(hashes) == 1:
        return hashes[0]
    split = 1 << ((len(hashes) - 1).bit_length() - 1)
    return hashlib.sha256(b"\x01" + tree_hash(hashes[:split]) + tree_hash(hashes[split:])).digest()


def tile_path(level, index, width):
    digits = f"{index:d}"
    digits = "0" * (-len(digits) % 3) + digits
    groups = [digits[i:i + 3] for i in range(0, len(digits), 3)]
    path = "/".join(["x" + group for group in groups[:-1]] + [groups[-1]])
    return f"tile/{level}/{path}" + (f".p/{width}" if width < 256 else "")


def tiles_of(entries):
    """Every tile and entry bundle of the log over `entries`, partial ones included."""
    files = {}
    for first in range(0, len(entries), 256):
        chunk = entries[first:first + 256]
        files[tile_path("entries", first // 256, len(chunk))] = b"".join(
            len(entry).to_bytes(2, "big") + entry for entry in chunk)
    leaves = [leaf_hash(entry) for entry in entries]
    level = 0
    while True:
        span = 256 ** level  # leaves under one hash stored at tree level 8 * level
        stored = [tree_hash(leaves[j * span:(j + 1) * span]) for j in range(len(leaves) // span)]
        if not stored:
            return files
        for first in range(0, len(stored), 256):
            chunk = stored[first:first + 256]
            files[tile_path(level, first // 256, len(chunk))] = b"".join(chunk)
        level += 1


def files_under(root):
    return {str(path.relative_to(root)): path.read_bytes() for path in root.rglob("*") if path.is_file()}


def test_tiles_and_roots_of_every_size_up_to_600_match_an_independent_implementation(tmp_path):
    dump = os.environ.get("QVS_LOG_TILES_DUMP")
    if not dump:
        pytest.skip("QVS_LOG_TILES_DUMP names the build's log-tiles-dump")
    subprocess.run([dump, "600", str(tmp_path)], check=True)
    entries = []
    for size in range(601):
        written = files_under(tmp_path / str(size))
        assert written.pop("root").decode() == tree_hash([leaf_hash(entry) for entry in entries]).hex(), size
        assert written == tiles_of(entries), size
        entries.append(f"entry {size}".encode() + b"+" * (size % 7))


def parse_verifier(text):
    name, key_id, key = text.strip().split("+", 2)
    key = base64.b64decode(key)
    assert key[0] == 1 and len(key) == 33
    assert hashlib.sha256(name.encode() + b"\n\x01" + key[1:]).digest()[:4].hex() == key_id
    return name, bytes.fromhex(key_id), key[1:]


def openssl_verifies_ed25519(public_key, signature, message, tmp_path):
    pem = tmp_path / "log-public.pem"
    pem.write_text("-----BEGIN PUBLIC KEY-----\n" + base64.b64encode(ED25519_SPKI_PREFIX + public_key).decode() +
                   "\n-----END PUBLIC KEY-----\n")
    (tmp_path / "note.sig").write_bytes(signature)
    (tmp_path / "note.body").write_bytes(message)
    return subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", str(pem), "-rawin", "-in",
                           str(tmp_path / "note.body"), "-sigfile", str(tmp_path / "note.sig")],
                          capture_output=True).returncode == 0


@pytest.fixture
def logged_site(tmp_path):
    """Makes a log key and publishes with it: the site, the key files and a publish function."""
    assert run_tool("keygen", "--log", "--log-origin", ORIGIN, "--private-key", tmp_path / "log.pem",
                    "--public-key", tmp_path / "log.vkey").returncode == 0
    site = tmp_path / "site"

    def publish(version, content, log_key=tmp_path / "log.pem"):
        package = tmp_path / f"{version}.exe"
        package.write_bytes(content)
        extra = ["--log-key", log_key] if log_key else []
        return run_tool("publish", "--private-key", TEST_KEYS / "test_update_key.pem", "--site", site, "--version",
                        version, "--package", package, *extra)

    return site, publish


def served_entry(site):
    client = site / "downloads" / "client"
    return (client / "stable.manifest").read_bytes() + (client / "stable.manifest.sig").read_bytes()


def test_the_checkpoint_verifies_with_openssl_and_holds_the_served_releases(logged_site, tmp_path):
    site, publish = logged_site
    entries = []
    for version in ("1.0.0", "1.0.1", "1.0.2"):
        assert publish(version, os.urandom(100)).returncode == 0
        entries.append(served_entry(site))
    note = (site / LOG / "checkpoint").read_bytes()
    body, signatures = note.split(b"\n\n", 1)
    body += b"\n"
    assert body == f"{ORIGIN}\n3\n".encode() + base64.b64encode(tree_hash([leaf_hash(e) for e in entries])) + b"\n"
    name, key_id, public_key = parse_verifier((tmp_path / "log.vkey").read_text())
    assert (site / "qvs-log-key.vkey").read_text() == (tmp_path / "log.vkey").read_text()
    dash, signer, signature = signatures.decode().rstrip("\n").split(" ")
    assert dash == "\u2014" and signer == name == ORIGIN
    signature = base64.b64decode(signature)
    assert signature[:4] == key_id and len(signature) == 68
    assert openssl_verifies_ed25519(public_key, signature[4:], body, tmp_path)
    assert not openssl_verifies_ed25519(public_key, signature[4:], body.replace(b"\n3\n", b"\n4\n"), tmp_path)
    served = files_under(site / LOG)
    # Each entry's proof, named by its leaf hash.
    assert sorted(path for path in served if path.startswith("proof/")) == sorted(
        f"proof/{leaf_hash(entry).hex()}" for entry in entries)
    assert {path: data for path, data in served.items() if not path.startswith("proof/")} == {
        "checkpoint": note, **tiles_of(entries), **{
            # Partial tiles of earlier sizes stay served for clients that still hold those checkpoints.
            path: data for size in (1, 2) for path, data in tiles_of(entries[:size]).items()}}


def test_the_log_refuses_what_would_break_it_and_republishing_appends_nothing(logged_site, tmp_path):
    site, publish = logged_site
    assert publish("1.0.0", b"MZ one").returncode == 0
    first = served_entry(site)
    again = publish("1.0.0", b"MZ one")
    assert again.returncode == 0 and "Already the log's last entry (0) of 1" in again.stdout, again.stdout
    assert served_entry(site) == first
    assert b"\n1\n" in (site / LOG / "checkpoint").read_bytes()

    before = files_under(site)
    signature = site / "downloads/client/stable.manifest.sig"
    signed = run_tool("sign", "--private-key", TEST_KEYS / "test_update_key.pem", "--descriptor",
                      site / "downloads/client/stable.manifest", "--out", signature)
    assert signed.returncode == 1 and "keeps a release log" in signed.stderr, signed.stderr
    unlogged = publish("1.0.1", b"MZ two", log_key=None)
    assert unlogged.returncode == 1 and "keeps a release log" in unlogged.stderr and "--log-key" in unlogged.stderr
    assert run_tool("keygen", "--log", "--log-origin", ORIGIN, "--private-key", tmp_path / "other.pem",
                    "--public-key", tmp_path / "other.vkey").returncode == 0
    other = publish("1.0.1", b"MZ two", log_key=tmp_path / "other.pem")
    ids = [(tmp_path / name).read_text().split("+")[1] for name in ("other.vkey", "log.vkey")]
    assert other.returncode == 1 and all(key_id in other.stderr for key_id in ids), other.stderr
    assert files_under(site) == before

    # The log's verifier key removed from the site: neither a publish without the log nor a second
    # log over the first.
    (site / "qvs-log-key.vkey").rename(tmp_path / "kept.vkey")
    for log_key in (None, tmp_path / "log.pem"):
        orphaned = publish("1.0.1", b"MZ two", log_key=log_key)
        assert orphaned.returncode == 1 and "restore that file" in orphaned.stderr, orphaned.stderr
    (tmp_path / "kept.vkey").rename(site / "qvs-log-key.vkey")
    assert files_under(site) == before

    # A tile changed outside the tool: verify-site says which, and publish signs nothing over it.
    tile = site / LOG / "tile/0/000.p/1"
    tile.write_bytes(b"\x00" * 32)
    check = run_tool("verify-site", site)
    assert check.returncode == 1 and "tile/0/000.p/1" in check.stderr, check.stderr
    (site / LOG / "tile/entries/000.p/1").write_bytes(b"\x00\x03abc")
    refused = publish("1.0.1", b"MZ two")
    assert refused.returncode == 1 and "root hash" in refused.stderr, refused.stderr
