#!/usr/bin/env python3
"""Draws the program icon (64x64 and 16x16, 32 bits per pixel) into an .ico file.

The artwork is ours: a rounded blue tile with a white downward arrow into a tray,
drawn with 4x4 supersampling so the edges are smooth.
"""
import struct
import sys


def inside_round_rect(x, y, size, radius):
    cx = min(max(x, radius), size - radius)
    cy = min(max(y, radius), size - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_arrow(x, y, s):
    """Arrow and tray in a unit square scaled by s."""
    u, v = x / s, y / s
    shaft = 0.42 <= u <= 0.58 and 0.18 <= v <= 0.52
    head = v >= 0.44 and v <= 0.70 and abs(u - 0.5) <= (0.70 - v) * 0.95
    tray = (0.20 <= u <= 0.80 and 0.76 <= v <= 0.84) or \
           ((0.20 <= u <= 0.28 or 0.72 <= u <= 0.80) and 0.62 <= v <= 0.84)
    return shaft or head or tray


def pixel(x, y, size):
    samples = 4
    tile = white = 0
    for i in range(samples):
        for j in range(samples):
            px = x + (i + 0.5) / samples
            py = y + (j + 0.5) / samples
            if inside_round_rect(px, py, size, size * 0.2):
                tile += 1
                if inside_arrow(px, py, size):
                    white += 1
    n = samples * samples
    alpha = tile / n
    if tile == 0:
        return (0, 0, 0, 0)
    w = white / tile
    # Vertical gradient from light to deep blue under the white sign.
    t = y / size
    base = (int(40 + 30 * (1 - t)), int(110 + 60 * (1 - t)), int(200 + 40 * (1 - t)))
    r, g, b = (int(c + (255 - c) * w) for c in base)
    return (b, g, r, int(255 * alpha))


def image(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up rows
        rows.append(b"".join(struct.pack("4B", *pixel(x, y, size)) for x in range(size)))
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    and_mask = b"\0" * (mask_row * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask),
                         0, 0, 0, 0)
    return header + xor + and_mask


def main(path):
    sizes = [64, 16]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
