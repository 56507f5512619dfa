#!/usr/bin/env python3
"""Generate Noctara's tray icons (active.ico, paused.ico).

Each .ico holds PNG-compressed 32-bit RGBA images. Output is byte-for-byte
deterministic so release builds stay reproducible.

Usage: python3 tools/make_icons.py OUTDIR [--png-dir DIR]
"""
import argparse
import math
import os
import struct
import zlib

SUPERSAMPLE = 8  # 8x8 samples per pixel for antialiasing

# (fill, rim) colours as RGB.
ACTIVE = ((0x2E, 0x9E, 0x4F), (0x23, 0x7A, 0x3C))
PAUSED = ((0x8A, 0x8F, 0x96), (0x6C, 0x71, 0x78))
WHITE = (0xFF, 0xFF, 0xFF)

# Check mark drawn on a 16-unit grid and scaled to each size. Both legs run
# at 45 degrees so the antialiasing is symmetric and the 16 px image stays crisp.
CHECK = ((4.6, 8.2), (7.0, 10.6), (11.6, 6.0))
CHECK_WIDTH = 1.9


def _seg_dist(px, py, ax, ay, bx, by):
    """Distance from point P to segment AB."""
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def render(size, colours):
    """Return RGBA rows (straight alpha) of the icon at the given pixel size."""
    fill, rim = colours
    k = size / 16.0
    centre = size / 2.0
    radius = size / 2.0 - 0.25 * k
    # Rim grows slower than the icon so it stays a thin outline at 48 px.
    rim_inner = radius - (1.0 + 0.5 * (k - 1.0))
    half_w = CHECK_WIDTH * k / 2.0
    pts = [(x * k, y * k) for x, y in CHECK]
    segs = list(zip(pts, pts[1:]))
    n = SUPERSAMPLE
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            r = g = b = hits = 0
            for sy in range(n):
                py = y + (sy + 0.5) / n
                for sx in range(n):
                    px = x + (sx + 0.5) / n
                    d = math.hypot(px - centre, py - centre)
                    if d > radius:
                        continue
                    if any(_seg_dist(px, py, *p0, *p1) <= half_w for p0, p1 in segs):
                        c = WHITE
                    elif d > rim_inner:
                        c = rim
                    else:
                        c = fill
                    r, g, b, hits = r + c[0], g + c[1], b + c[2], hits + 1
            if hits:
                # Average only covered samples: PNG wants straight alpha.
                row += bytes((round(r / hits), round(g / hits), round(b / hits),
                              round(255 * hits / (n * n))))
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def encode_png(size, rows):
    """Minimal PNG: IHDR, one IDAT, IEND; no timestamps or text chunks."""
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every row
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", ihdr)
            + _chunk(b"IDAT", zlib.compress(raw, 9)) + _chunk(b"IEND", b""))


def encode_ico(images):
    """images: list of (size, png_bytes), written in the given order."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for size, png in images:
        dim = size if size < 256 else 0  # 0 means 256 in ICONDIRENTRY
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(png), offset)
        offset += len(png)
        data += png
    return out + data


def main():
    ap = argparse.ArgumentParser(description="Generate Noctara tray icons.")
    ap.add_argument("outdir")
    ap.add_argument("--png-dir", help="also write each image as a standalone PNG")
    args = ap.parse_args()

    # The small-icon size at 100, 125, 150, 200 and 250 % (16, 20, 24, 32, 40)
    # for the tray, and the large one up to 150 % (32, 40, 48) for the window
    # and the shortcut; both icons alike, each size drawn at that size.
    sizes = (16, 20, 24, 32, 40, 48)
    icons = {"active": (ACTIVE, sizes), "paused": (PAUSED, sizes)}
    os.makedirs(args.outdir, exist_ok=True)
    if args.png_dir:
        os.makedirs(args.png_dir, exist_ok=True)
    for name, (colours, sizes) in icons.items():
        images = [(s, encode_png(s, render(s, colours))) for s in sizes]
        with open(os.path.join(args.outdir, name + ".ico"), "wb") as f:
            f.write(encode_ico(images))
        if args.png_dir:
            for s, png in images:
                with open(os.path.join(args.png_dir, f"{name}-{s}.png"), "wb") as f:
                    f.write(png)


if __name__ == "__main__":
    main()
