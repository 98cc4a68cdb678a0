"""Descriptors, signatures and packages for the launcher's verification command, signed with openssl."""

import hashlib
import pathlib
import subprocess
import tempfile

from qvs_wine import SOURCE_DIR

TEST_KEY = SOURCE_DIR / "tests" / "keys" / "test_update_key.pem"
OTHER_KEY = SOURCE_DIR / "tests" / "keys" / "other_key.pem"
MAGIC = b"QVS-SUPPORT-UPDATE-V1\n"


def descriptor(package, version=b"3.1.4", path=b"/downloads/client/packages/QuorvantisSupportHost-3.1.4.exe"):
    """The descriptor text naming `package` (its size and digest)."""
    digest = hashlib.sha256(package).hexdigest().encode()
    return MAGIC + b"version=" + version + b"\npath=" + path + b"\nsize=%d\nsha256=" % len(package) + digest + b"\n"


def der_to_raw(der):
    """An ECDSA signature in DER (SEQUENCE of two INTEGERs) as 64 bytes, r then s."""
    def length_at(offset):
        first = der[offset]
        if first < 0x80:
            return first, offset + 1
        count = first & 0x7F
        return int.from_bytes(der[offset + 1:offset + 1 + count], "big"), offset + 1 + count

    assert der[0] == 0x30, "not a DER sequence"
    _, offset = length_at(1)
    parts = []
    for _ in range(2):
        assert der[offset] == 0x02, "not a DER integer"
        length, offset = length_at(offset + 1)
        value = int.from_bytes(der[offset:offset + length], "big")
        offset += length
        parts.append(value.to_bytes(32, "big"))
    return b"".join(parts)


def sign_der(message, key=TEST_KEY):
    """openssl's DER signature of `message` (SHA-256, ECDSA P-256) with a PEM private key."""
    with tempfile.TemporaryDirectory() as folder:
        data = pathlib.Path(folder) / "message"
        data.write_bytes(message)
        return subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(key), str(data)],
                              check=True, capture_output=True).stdout


def sign(message, key=TEST_KEY):
    """The 64-byte r||s signature that the launcher takes."""
    return der_to_raw(sign_der(message, key))


def sample_package(size=5000):
    return bytes((i * 31 + 7) & 0xFF for i in range(size))
