"""The manifest and the icon as the shell and the loader read them from the built executable."""

import struct
import xml.etree.ElementTree as ElementTree
import zlib

import pytest

import pe_file
from qvs_wine import LAUNCHER, LAUNCHER_MANIFEST_VERSION, SOURCE_DIR

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
US_ENGLISH = 0x409
ICON_SIZES = [16, 24, 32, 48, 64, 128, 256]

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
EXPECTED_MANIFEST = [
    (ASM_V1 + "assembly", {"manifestVersion": "1.0"}, ""),
    (ASM_V1 + "assemblyIdentity", {"version": LAUNCHER_MANIFEST_VERSION, "processorArchitecture": "amd64",
                                   "name": "QuorvantisSoftware.QvsSupportLauncher", "type": "win32"}, ""),
    (ASM_V1 + "description", {}, "Quorvantis Support secure launcher"),
    (ASM_V3 + "trustInfo", {}, ""),
    (ASM_V3 + "security", {}, ""),
    (ASM_V3 + "requestedPrivileges", {}, ""),
    (ASM_V3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}, ""),
    (ASM_V3 + "application", {}, ""),
    (ASM_V3 + "windowsSettings", {}, ""),
    (SETTINGS_2016 + "dpiAwareness", {}, "PerMonitorV2"),
    (SETTINGS_2016 + "longPathAware", {}, "true"),
    (COMPATIBILITY + "compatibility", {}, ""),
    (COMPATIBILITY + "application", {}, ""),
    (COMPATIBILITY + "supportedOS", {"Id": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}, ""),
]


@pytest.fixture(scope="module")
def resources():
    return pe_file.read(LAUNCHER).resources()


def of_type(resources, kind):
    return {key: data for key, data in resources.items() if key[0] == kind}


def test_only_manifest_and_icon_resources(resources):
    assert {key[0] for key in resources} == {RT_ICON, RT_GROUP_ICON, RT_MANIFEST}
    assert of_type(resources, RT_VERSION) == {}


def test_manifest_is_the_only_one_and_lists_exactly_the_declared_settings(resources):
    manifests = of_type(resources, RT_MANIFEST)
    assert list(manifests) == [(RT_MANIFEST, 1, US_ENGLISH)]
    data = manifests[(RT_MANIFEST, 1, US_ENGLISH)]
    assert data.startswith(b"\xef\xbb\xbf<?xml")
    assert b'encoding="UTF-8"' in data.split(b"?>")[0]
    root = ElementTree.fromstring(data[3:])
    elements = [(element.tag, element.attrib, (element.text or "").strip()) for element in root.iter()]
    assert elements == EXPECTED_MANIFEST


def icon_group_entries(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind) == (0, 1)
    assert len(data) == 6 + 14 * count
    return [struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i) for i in range(count)]


def png_shape(data):
    """(width, height, bit depth, colour type) of a PNG, after checking that its pixels decode."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, header, compressed = 8, None, b""
    while at < len(data):
        length, kind = struct.unpack_from(">I4s", data, at)
        body = data[at + 8:at + 8 + length]
        assert zlib.crc32(kind + body) & 0xFFFFFFFF == struct.unpack_from(">I", data, at + 8 + length)[0]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            compressed += body
        at += 12 + length
    width, height, depth, colour, _, _, _ = header
    pixels = zlib.decompress(compressed)
    assert len(pixels) == height * (1 + width * 4)
    alphas = {pixels[row * (1 + width * 4) + 1 + 4 * x + 3] for row in range(height) for x in range(width)}
    assert 0 in alphas and 255 in alphas, "a picture has transparent corners and an opaque mark"
    return width, height, depth, colour


def test_icon_group_101_holds_seven_rgba_pngs_in_order(resources):
    groups = of_type(resources, RT_GROUP_ICON)
    assert list(groups) == [(RT_GROUP_ICON, 101, US_ENGLISH)]
    entries = icon_group_entries(groups[(RT_GROUP_ICON, 101, US_ENGLISH)])
    assert [entry[7] for entry in entries] == [1, 2, 3, 4, 5, 6, 7]
    icons = of_type(resources, RT_ICON)
    assert sorted(icons) == [(RT_ICON, i, US_ENGLISH) for i in range(1, 8)]
    for (width, height, colours, _, planes, bits, size, icon_id), expected in zip(entries, ICON_SIZES):
        assert (width or 256, height or 256) == (expected, expected)
        assert (colours, planes, bits) == (0, 1, 32)
        image = icons[(RT_ICON, icon_id, US_ENGLISH)]
        assert len(image) == size
        assert png_shape(image) == (expected, expected, 8, 6)


def test_embedded_icons_are_the_committed_ones(resources):
    committed = (SOURCE_DIR / "launcher" / "app.ico").read_bytes()
    count = struct.unpack_from("<H", committed, 4)[0]
    pictures = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", committed, 6 + 16 * i + 8)
        pictures.append(committed[offset:offset + size])
    assert pictures == [resources[(RT_ICON, i, US_ENGLISH)] for i in range(1, 8)]
