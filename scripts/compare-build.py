#!/usr/bin/python3
"""Compares a shipped exe with its rebuild and names what differs.

usage: compare-build.py SHIPPED REBUILT --host HOST --key update-key.pub

The shipped file's Authenticode signature, if any, is removed first (osslsigncode
remove-signature). Prints "match" and exits 0 when the rest is the rebuild byte for byte; otherwise
prints one line per difference it can name (the update host, the trusted update key, other bytes by
section) and exits 1. Exit 2: a file could not be read or the signature not removed.
"""

import argparse
import hashlib
import pathlib
import struct
import subprocess
import sys
import tempfile

SECURITY_DIRECTORY = 4
KEY_CHUNK = 8  # the compiler writes the key into the code in 8-byte pieces


class PeImage:
    """The few header fields of a PE32+ file that the comparison needs."""

    def __init__(self, data):
        if data[:2] != b"MZ" or len(data) < 0x40:
            raise ValueError("not a PE file")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError("not a 64-bit PE file")
        self.checksum_offset = optional + 64
        self.security_size = struct.unpack_from("<I", data, optional + 112 + 8 * SECURITY_DIRECTORY + 4)[0]
        self.sections = []
        table = optional + optional_size
        for index in range(sections):
            entry = table + 40 * index
            name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
            raw_size, raw_offset = struct.unpack_from("<II", data, entry + 16)
            self.sections.append((name, raw_offset, raw_offset + raw_size))

    def section_at(self, offset):
        for name, start, end in self.sections:
            if start <= offset < end:
                return name
        return "headers" if offset < min((s for _, s, _ in self.sections), default=0) else "after the image"


def unsigned_bytes(path):
    data = path.read_bytes()
    if PeImage(data).security_size == 0:
        return data, False
    with tempfile.TemporaryDirectory() as folder:
        out = pathlib.Path(folder) / "unsigned.exe"
        completed = subprocess.run(["osslsigncode", "remove-signature", "-in", str(path), "-out", str(out)],
                                   capture_output=True, text=True)
        if completed.returncode != 0:
            raise ValueError(f"cannot remove its Authenticode signature: {completed.stdout}{completed.stderr}")
        return out.read_bytes(), True


def occurrences(data, needle):
    start = data.find(needle)
    while start >= 0:
        yield start
        start = data.find(needle, start + 1)


def covered(data, needles):
    """Positions of `data` inside any occurrence of any needle, and the first offset of each needle."""
    positions, first = set(), {}
    for index, needle in enumerate(needles):
        for start in occurrences(data, needle):
            positions.update(range(start, start + len(needle)))
            first.setdefault(index, start)
    return positions, first


def ranges(positions):
    """Sorted positions as (first, last) runs."""
    runs = []
    for position in sorted(positions):
        if runs and runs[-1][1] == position - 1:
            runs[-1][1] = position
        else:
            runs.append([position, position])
    return runs


def differences(shipped, rebuilt, host, key):
    """What differs between the shipped (unsigned) and the rebuilt bytes, one sentence each."""
    image = PeImage(rebuilt)
    host_text = host.encode("utf-16-le")
    # The key's header ("ECS1", 32) is the same for every key: only the coordinates tell keys apart.
    key_chunks = [key[i:i + KEY_CHUNK] for i in range(KEY_CHUNK, len(key), KEY_CHUNK)]
    found = []
    if len(shipped) != len(rebuilt):
        found.append(f"the size: shipped {len(shipped)} bytes, rebuilt {len(rebuilt)}")
        if host_text + b"\0\0" not in shipped:
            found.append(f'the update host: the shipped file does not name "{host}"')
        if not all(chunk in shipped for chunk in key_chunks):
            found.append("the trusted update key: the shipped file does not hold the recorded key")
        return found

    differing = {i for i in range(len(rebuilt)) if shipped[i] != rebuilt[i]}
    host_positions, host_first = covered(rebuilt, [host_text])
    key_positions, key_first = covered(rebuilt, key_chunks)
    checksum = set(range(image.checksum_offset, image.checksum_offset + 4))

    if differing & host_positions:
        start = host_first[0]
        text = shipped[start:start + len(host_text)].decode("utf-16-le", "replace")
        found.append(f'the update host: recorded "{host}", shipped "{text}"')
    if differing & key_positions:
        if len(key_first) == len(key_chunks):
            shipped_key = key[:KEY_CHUNK] + b"".join(shipped[key_first[i]:key_first[i] + KEY_CHUNK]
                                                     for i in range(len(key_chunks)))
            found.append(f"the trusted update key: recorded sha256 {hashlib.sha256(key).hexdigest()}, "
                         f"shipped sha256 {hashlib.sha256(shipped_key).hexdigest()}")
        else:
            found.append("the trusted update key")
    other = differing - host_positions - key_positions - checksum
    if other:
        runs = ranges(other)
        sections = sorted({image.section_at(first) for first, _ in runs})
        found.append(f"{len(other)} other bytes in {len(runs)} places (first at 0x{runs[0][0]:x}), "
                     f"in {', '.join(sections)}")
    if not found:
        found.append("the PE checksum alone")
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("shipped", type=pathlib.Path)
    parser.add_argument("rebuilt", type=pathlib.Path)
    parser.add_argument("--host", required=True)
    parser.add_argument("--key", required=True, type=pathlib.Path)
    args = parser.parse_args()
    try:
        shipped, signed = unsigned_bytes(args.shipped)
        rebuilt = args.rebuilt.read_bytes()
        key = args.key.read_bytes()
        if shipped == rebuilt:
            print("match" + (" (Authenticode signature removed)" if signed else ""))
            return 0
        found = differences(shipped, rebuilt, args.host, key)
    except (OSError, ValueError, struct.error) as error:
        print(f"cannot compare: {error}", file=sys.stderr)
        return 2
    for line in found:
        print(f"differs: {line}")
    return 1


if __name__ == "__main__":
    sys.exit(main())
