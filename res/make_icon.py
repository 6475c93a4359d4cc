#!/usr/bin/env python3
"""Draws the application icon and writes it as a Windows .ico file.

Two images, 32x32 and 16x16, at 8 bits per pixel with a 256-colour palette
and a transparency mask: the form Windows XP shows best. The picture is a
blue rounded square with a white arrow pointing down into a tray, drawn from
geometry, so both sizes stay sharp.

Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

TRANSPARENT, WHITE, BLUE, DARK_BLUE, LIGHT_BLUE = range(5)
PALETTE = [(0, 0, 0), (255, 255, 255), (38, 110, 210), (20, 60, 130), (120, 170, 235)]


def draw(size):
    """Returns rows (top first) of palette indexes for a size x size icon."""
    s = size / 32.0
    radius = 6 * s

    def inside_rounded(x, y, inset):
        lo, hi = inset, size - inset
        if not (lo <= x < hi and lo <= y < hi):
            return False
        r = max(radius - inset, 1)
        cx = min(max(x, lo + r), hi - r)
        cy = min(max(y, lo + r), hi - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

    def in_arrow(x, y):
        shaft = 13 * s <= x < 19 * s and 5 * s <= y < 16 * s
        head_top, head_bottom = 14 * s, 22 * s
        half = (head_bottom - y) * (8.5 * s) / (head_bottom - head_top)
        head = head_top <= y < head_bottom and abs(x - 16 * s) < half
        return shaft or head

    def in_tray(x, y):
        base = 24 * s <= y < 27 * s and 7 * s <= x < 25 * s
        sides = 20 * s <= y < 27 * s and (7 * s <= x < 10 * s or 22 * s <= x < 25 * s)
        return base or sides

    rows = []
    for row in range(size):
        line = []
        for col in range(size):
            x, y = col + 0.5, row + 0.5
            if not inside_rounded(x, y, 0):
                line.append(TRANSPARENT)
            elif not inside_rounded(x, y, max(1.0, s)):
                line.append(DARK_BLUE)
            elif in_arrow(x, y) or in_tray(x, y):
                line.append(WHITE)
            elif y < size * 0.3:
                line.append(LIGHT_BLUE)
            else:
                line.append(BLUE)
        rows.append(line)
    return rows


def bmp_image(size):
    rows = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    palette += b"\0" * (4 * (256 - len(PALETTE)))
    xor_stride = (size + 3) & ~3
    and_stride = ((size + 31) // 32) * 4
    pixels = b""
    mask = b""
    for line in reversed(rows):  # bitmaps are stored bottom-up
        pixels += bytes(line) + b"\0" * (xor_stride - size)
        packed = bytearray(and_stride)
        for col, index in enumerate(line):
            if index == TRANSPARENT:
                packed[col // 8] |= 0x80 >> (col % 8)
        mask += bytes(packed)
    return header + palette + pixels + mask


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    images = [(32, bmp_image(32)), (16, bmp_image(16))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
