#!/usr/bin/env python3
"""Draws the program icon (a chip with a download arrow) and writes
TXLoader-16/32/48.png for the Qt resource, TXLoader-128/256.png as well for
the desktop's icon theme, and TXLoader.ico for Windows builds: 48, 32 and 16
pixels, each with 256 colours and with 32-bit colour, and 256 pixels as a PNG
(the form Windows takes for that size; Explorer's large icons use it).
Python standard library only, so the build never needs an image tool.
Run from anywhere: python3 make_icon.py"""

import os
import struct
import zlib
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (48, 32, 16)          # in the .ico as bitmaps
PNG_IN_ICO = 256              # in the .ico as a PNG
PNG_SIZES = (16, 32, 48, 128, 256)
SUPERSAMPLE = 8               # samples per pixel side up to 48 px


def supersample(size):
    """Fewer samples for the large sizes: the edges stay as smooth, and pure
    Python draws 256 px in seconds instead of minutes."""
    return max(2, SUPERSAMPLE * 48 // size) if size > 48 else SUPERSAMPLE

PIN = (192, 198, 206)
PIN_EDGE = (96, 102, 112)
BODY = (47, 54, 64)
BODY_EDGE = (20, 24, 30)
NOTCH = (110, 120, 135)
ARROW = (38, 176, 84)
ARROW_EDGE = (12, 92, 40)


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                hit = not hit
        return hit
    return inside


def arrow(half_shaft, half_head, top, base, tip, cx=0.5):
    return polygon([(cx - half_shaft, top), (cx + half_shaft, top), (cx + half_shaft, base),
                    (cx + half_head, base), (cx, tip), (cx - half_head, base), (cx - half_shaft, base)])


def scene():
    """Shapes in painting order, in units of the icon's side (0..1)."""
    shapes = []
    for i in range(3):  # three legs on each side of the package
        y = 0.40 + i * 0.17
        for x0, x1 in ((0.06, 0.22), (0.78, 0.94)):
            shapes.append((rounded_rect(x0, y - 0.055, x1, y + 0.055, 0.02), PIN_EDGE))
            shapes.append((rounded_rect(x0 + 0.02, y - 0.03, x1 - 0.02, y + 0.03, 0.01), PIN))
    shapes.append((rounded_rect(0.17, 0.27, 0.83, 0.97, 0.08), BODY_EDGE))
    shapes.append((rounded_rect(0.21, 0.31, 0.79, 0.93, 0.06), BODY))
    shapes.append((circle(0.30, 0.84, 0.045), NOTCH))
    shapes.append((arrow(0.14, 0.32, 0.01, 0.42, 0.80), ARROW_EDGE))
    shapes.append((arrow(0.085, 0.24, 0.05, 0.46, 0.71), ARROW))
    return shapes


def render(size):
    """RGBA rows (straight alpha), anti-aliased by supersampling."""
    shapes = scene()
    n = supersample(size)
    step = 1.0 / (size * n)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                y = (py * n + sy + 0.5) * step
                for sx in range(n):
                    x = (px * n + sx + 0.5) * step
                    colour = None
                    for inside, c in shapes:
                        if inside(x, y):
                            colour = c
                    if colour:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1
            if a:
                row.append((r // a, g // a, b // a, a * 255 // (n * n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def and_mask(rows):
    """1 bit per pixel, set where the pixel is transparent; rows bottom-up, 32-bit aligned."""
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def bitmap_header(size, bits, image_bytes, colours):
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, image_bytes, 0, 0, colours, 0)


def dib32(rows):
    size = len(rows)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask = and_mask(rows)
    return bitmap_header(size, 32, len(pixels) + len(mask), 0) + pixels + mask


def palette_for(rows):
    """Up to 256 colours: the opaque colours as drawn, or the most frequent ones
    at 5 bits per channel when the anti-aliased edges make more than that."""
    used = Counter(px[:3] for row in rows for px in row if px[3] >= 128)
    if len(used) > 255:
        coarse = Counter()
        for (r, g, b), n in used.items():
            coarse[(r & 0xF8 | 4, g & 0xF8 | 4, b & 0xF8 | 4)] += n
        used = coarse
    colours = [(0, 0, 0)] + [c for c, _ in used.most_common(255)]
    return colours + [(0, 0, 0)] * (256 - len(colours))


def dib8(rows):
    size = len(rows)
    colours = palette_for(rows)
    cache = {}

    def index(px):
        if px[3] < 128:
            return 0
        key = px[:3]
        if key not in cache:
            cache[key] = min(range(1, 256), key=lambda i: sum((u - v) ** 2 for u, v in zip(colours[i], key)))
        return cache[key]
    stride = (size + 3) // 4 * 4
    pixels = b"".join(bytes(index(px) for px in row) + bytes(stride - size) for row in reversed(rows))
    mask = and_mask(rows)
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in colours)
    return bitmap_header(size, 8, len(pixels) + len(mask), 256) + palette + pixels + mask


def ico(images):
    """images: (size, bits, data) in directory order; 256 is written as 0, as the format wants."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    directory, blobs = b"", b""
    for size, bits, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
        blobs += data
    return header + directory + blobs


def main():
    drawn = {size: render(size) for size in PNG_SIZES}
    for size, rows in drawn.items():
        with open(os.path.join(HERE, f"TXLoader-{size}.png"), "wb") as f:
            f.write(png(rows))
    images = [(s, 32, dib32(drawn[s])) for s in SIZES] + [(s, 8, dib8(drawn[s])) for s in SIZES]
    # Last, so the bitmaps before it keep their bytes and their order.
    images.append((PNG_IN_ICO, 32, png(drawn[PNG_IN_ICO])))
    with open(os.path.join(HERE, "TXLoader.ico"), "wb") as f:
        f.write(ico(images))


if __name__ == "__main__":
    main()
