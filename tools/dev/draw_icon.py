#!/usr/bin/env python3
"""Draws the setup's icon and writes it as an .ico file holding four 32-bit RGBA PNG images
(16, 32, 48 and 256 pixels). The artwork: a blue rounded tile with a white measuring dial and
an orange needle, the instrument this driver package is for. Same output for the same script.

  draw_icon.py [ICO]      (default: kyt.ico)
"""
import argparse
import math
import struct
import zlib

SIZES = (16, 32, 48, 256)


def png(size, pixels):
    """Returns a PNG stream of size x size RGBA pixels (a list of rows of (r, g, b, a))."""
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def coverage(inside, x, y, samples=4):
    """Returns the share of the pixel (x, y) for which inside(px, py) holds, by supersampling."""
    hits = 0
    for sy in range(samples):
        for sx in range(samples):
            if inside(x + (sx + 0.5) / samples, y + (sy + 0.5) / samples):
                hits += 1
    return hits / (samples * samples)


def draw(size):
    s = float(size)
    radius = s * 0.2

    def tile(px, py):
        cx = min(max(px, radius), s - radius)
        cy = min(max(py, radius), s - radius)
        return (px - cx) ** 2 + (py - cy) ** 2 <= radius ** 2

    centre = (s * 0.5, s * 0.58)

    def dial(px, py):
        dx, dy = px - centre[0], py - centre[1]
        return dx * dx + dy * dy <= (s * 0.34) ** 2 and dy <= s * 0.08

    angle = math.radians(-50)
    tip = (centre[0] + math.sin(angle) * s * 0.3, centre[1] - math.cos(angle) * s * 0.3)

    def needle(px, py):
        ax, ay = centre
        bx, by = tip
        t = max(0.0, min(1.0, ((px - ax) * (bx - ax) + (py - ay) * (by - ay)) / ((bx - ax) ** 2 + (by - ay) ** 2)))
        qx, qy = ax + t * (bx - ax), ay + t * (by - ay)
        return (px - qx) ** 2 + (py - qy) ** 2 <= (max(1.0, s * 0.045)) ** 2

    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            a = coverage(tile, x, y)
            colour = (28, 92, 170)
            d = coverage(dial, x, y)
            colour = tuple(round(c * (1 - d) + 250 * d) for c in colour)
            n = coverage(needle, x, y)
            colour = tuple(round(c * (1 - n) + o * n) for c, o in zip(colour, (240, 120, 20)))
            row.append((*colour, round(255 * a)))
        rows.append(row)
    return png(size, rows)


def ico(images):
    """Returns an .ico file whose directory lists the PNG images in order."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("target", nargs="?", default="kyt.ico", metavar="ICO")
    target = parser.parse_args().target
    with open(target, "wb") as f:
        f.write(ico([(size, draw(size)) for size in SIZES]))
