#!/usr/bin/python3
"""Draws the launcher's icon, a blue shield with a white check mark, and writes launcher/app.ico.

Seven PNG-compressed 32-bit RGBA images (16, 24, 32, 48, 64, 128 and 256 px, in that order), each
drawn directly at its size with 4x4 supersampling, so that small sizes stay sharp rather than
being scaled down from a large picture. Stroke widths never fall below about one pixel.

Usage: make-icon.py [--preview FILE.png]   (the preview is the 256 px image, not committed)
Only the standard library is used (zlib and struct).
"""

import argparse
import math
import pathlib
import struct
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
SAMPLES = 4  # per axis

RIM = (10, 38, 92)            # thin dark edge, so the light outline shows on white too
OUTLINE = (236, 243, 255)     # light outline
FILL_LIGHT = (58, 134, 235)   # left half of the shield, top
FILL_DARK = (18, 78, 178)     # right half of the shield, top
FILL_BOTTOM = (10, 52, 138)   # both halves towards the tip
CHECK = (255, 255, 255)


def shield_contains(x, y, grow=0.0):
    """The shield in unit coordinates (y downwards): domed top, straight sides, curved point."""
    cx = 0.5
    top_mid, top_corner = 0.075, 0.15
    shoulder_end, tip = 0.50, 0.935
    half_width = 0.375
    dx = abs(x - cx)
    if dx > half_width + grow:
        return False
    u = min(dx / half_width, 1.0)
    top = top_mid + (top_corner - top_mid) * u * u - grow
    if y < top:
        return False
    if y <= shoulder_end:
        return True
    t = (y - shoulder_end) / (tip + grow - shoulder_end)
    if t >= 1.0:
        return False
    return dx <= (half_width + grow) * (1.0 - t * t)


DIRECTIONS = [(math.cos(a), math.sin(a)) for a in (i * math.pi / 6 for i in range(12))]


def eroded_contains(x, y, distance):
    """Inside the shield and at least `distance` away from its edge (sampled in 12 directions)."""
    if not shield_contains(x, y):
        return False
    return all(shield_contains(x + distance * c, y + distance * s) for c, s in DIRECTIONS)


def segment_distance(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)))
    return math.hypot(px - ax - t * vx, py - ay - t * vy)


CHECK_POINTS = ((0.315, 0.505), (0.445, 0.640), (0.690, 0.350))


def in_check(x, y, half_stroke):
    (ax, ay), (bx, by), (cx, cy) = CHECK_POINTS
    return min(segment_distance(x, y, ax, ay, bx, by), segment_distance(x, y, bx, by, cx, cy)) <= half_stroke


def mix(a, b, t):
    return tuple(p + (q - p) * t for p, q in zip(a, b))


def sample_colour(x, y, px):
    """The colour at (x, y) in unit coordinates, or None outside; `px` is one pixel in units."""
    rim = max(0.012, 0.55 * px)
    outline = max(0.035, 1.0 * px)
    if not shield_contains(x, y, grow=rim):
        return None
    if not shield_contains(x, y):
        return RIM
    if not eroded_contains(x, y, outline):
        return OUTLINE
    if in_check(x, y, max(0.06, 1.05 * px)):
        return CHECK
    depth = max(0.0, min(1.0, (y - 0.15) / 0.78))
    top = FILL_LIGHT if x < 0.5 else FILL_DARK
    return mix(top, FILL_BOTTOM, depth * depth)


def render(size):
    """RGBA rows of one image; small sizes fill more of the square to stay legible."""
    scale = 1.05 if size <= 48 else 1.0
    px = 1.0 / (size * scale)
    rows = []
    for j in range(size):
        row = bytearray()
        for i in range(size):
            r = g = b = a = 0.0
            for sj in range(SAMPLES):
                for si in range(SAMPLES):
                    x = ((i + (si + 0.5) / SAMPLES) / size - 0.5) / scale + 0.5
                    y = ((j + (sj + 0.5) / SAMPLES) / size - 0.5) / scale + 0.5
                    colour = sample_colour(x, y, px)
                    if colour is not None:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1.0
            if a == 0:
                row += b"\0\0\0\0"
            else:
                # Average over covered samples only (straight alpha), coverage as alpha.
                row += bytes((round(r / a), round(g / a), round(b / a), round(255 * a / SAMPLES**2)))
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8 bits, RGBA
    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every row
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def ico(images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries, data = b"", b""
    for size, image in images:
        dimension = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
        data += image
    return directory + entries + data


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--preview", type=pathlib.Path, help="also write the 256 px image as a PNG here")
    parser.add_argument("--output", type=pathlib.Path,
                        default=pathlib.Path(__file__).resolve().parents[1] / "launcher" / "app.ico")
    args = parser.parse_args()
    images = [(size, png(size, render(size))) for size in SIZES]
    args.output.write_bytes(ico(images))
    if args.preview:
        args.preview.write_bytes(images[-1][1])


if __name__ == "__main__":
    main()
