#!/usr/bin/env python3
"""Draws the program icon (a package with a downward arrow) and writes it as
a Windows .ico with 16, 32 and 48 pixel images (32-bit BGRA DIBs)."""
import struct
import sys


def pixel(x, y, n):
    """Colour of pixel (x, y) of an n x n image, top-left origin, as BGRA."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    margin = 0.08
    if not (margin <= u <= 1 - margin and margin <= v <= 1 - margin):
        return (0, 0, 0, 0)
    # Arrow: shaft and head in white.
    shaft = 0.43 <= u <= 0.57 and 0.2 <= v <= 0.55
    head = v >= 0.5 and v <= 0.78 and abs(u - 0.5) <= (0.78 - v) * 1.1
    if shaft or head:
        return (255, 255, 255, 255)
    # Box body in a deep teal with a darker border.
    border = min(u - margin, 1 - margin - u, v - margin, 1 - margin - v) < 0.06
    return (90, 80, 10, 255) if border else (160, 130, 20, 255)


def image(n):
    rows = []
    for y in reversed(range(n)):  # DIB rows run bottom-up
        rows.append(b"".join(struct.pack("4B", *pixel(x, y, n)) for x in range(n)))
    xor = b"".join(rows)
    mask_row = ((n + 31) // 32) * 4
    and_mask = b"\0" * (mask_row * n)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


def main(path):
    sizes = [16, 32, 48]
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
