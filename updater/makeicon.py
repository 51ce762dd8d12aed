#!/usr/bin/env python3
"""Writes the application icon of Talvex.exe: a blue tile with a white
downward arrow, in 16, 32, 48 and 256 pixels, each in 16 colours, 256 colours
and 32-bit colour with alpha. Standard library only.

    makeicon.py OUTPUT.ico
"""
import struct
import sys

SIZES = (16, 32, 48, 256)

# The 16 colours of the standard Windows palette (r, g, b).
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette256():
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    greys = [(v, v, v) for v in range(0, 256, 7)][:40]
    return (cube + greys + [(0, 0, 0)] * 256)[:256]


def pixel(size, x, y):
    """(r, g, b, a) of the design at pixel (x, y), y counted from the top."""
    u = (x + 0.5) / size
    v = (y + 0.5) / size
    margin = 0.06
    if not (margin <= u <= 1 - margin and margin <= v <= 1 - margin):
        return (0, 0, 0, 0)
    # A downward arrow: a shaft and a head.
    in_shaft = 0.40 <= u <= 0.60 and 0.18 <= v <= 0.55
    in_head = 0.50 <= v <= 0.80 and abs(u - 0.5) <= (0.80 - v) * 1.0
    in_bar = 0.84 <= v <= 0.90 and 0.22 <= u <= 0.78
    if in_shaft or in_head or in_bar:
        return (255, 255, 255, 255)
    shade = int(160 + 60 * (1 - v))
    return (0, shade // 3, shade, 255)


def nearest(colour, palette):
    r, g, b = colour
    return min(range(len(palette)),
               key=lambda i: (palette[i][0] - r) ** 2 + (palette[i][1] - g) ** 2 +
               (palette[i][2] - b) ** 2)


def row_bytes(bits_per_row):
    return ((bits_per_row + 31) // 32) * 4


def image(size, bpp):
    pixels = [[pixel(size, x, y) for x in range(size)] for y in range(size)]
    out = bytearray()
    palette = VGA16 if bpp == 4 else palette256() if bpp == 8 else []
    out += struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bpp, 0, 0, 0, 0,
                       len(palette), 0)
    for r, g, b in palette:
        out += bytes((b, g, r, 0))
    cache = {}
    stride = row_bytes(size * bpp)
    for y in reversed(range(size)):  # bottom-up rows
        row = bytearray()
        if bpp == 32:
            for r, g, b, a in pixels[y]:
                row += bytes((b, g, r, a))
        else:
            indexes = []
            for r, g, b, a in pixels[y]:
                key = (r, g, b) if a else (0, 0, 0)
                if key not in cache:
                    cache[key] = nearest(key, palette)
                indexes.append(cache[key])
            if bpp == 8:
                row += bytes(indexes)
            else:
                for i in range(0, size, 2):
                    hi = indexes[i]
                    lo = indexes[i + 1] if i + 1 < size else 0
                    row += bytes(((hi << 4) | lo,))
        row += bytes(stride - len(row))
        out += row
    mask_stride = row_bytes(size)
    for y in reversed(range(size)):  # AND mask: 1 where transparent
        bits = 0
        row = bytearray()
        for x in range(size):
            bits = (bits << 1) | (1 if pixels[y][x][3] == 0 else 0)
            if x % 8 == 7:
                row.append(bits)
                bits = 0
        if size % 8:
            row.append(bits << (8 - size % 8))
        row += bytes(mask_stride - len(row))
        out += row
    return bytes(out), len(palette)


def main():
    images = []
    for size in SIZES:
        for bpp in (4, 8, 32):
            data, colours = image(size, bpp)
            images.append((size, bpp, colours, data))
    header = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = bytearray()
    blobs = bytearray()
    for size, bpp, colours, data in images:
        dim = 0 if size == 256 else size
        entries += struct.pack('<BBBBHHII', dim, dim, colours if colours < 256 else 0, 0, 1,
                               bpp, len(data), offset + len(blobs))
        blobs += data
    with open(sys.argv[1], 'wb') as f:
        f.write(header + entries + blobs)


if __name__ == '__main__':
    main()
