#!/usr/bin/env python3
"""Draws kelvo.ico: a 32x32 and a 16x16 image of 256 colours.

Two file sheets on a teal disc with an orange turning arrow around them:
files that change places. Run it to redraw the icon after changing the design.
"""
import math
import struct
import sys

PALETTE = [(0, 0, 0), (32, 128, 140), (255, 255, 255), (238, 140, 32), (20, 70, 80)]


def pixel(x, y, size):
    """Palette index of one pixel, or None for transparent."""
    c = (size - 1) / 2.0
    dx, dy = x - c, y - c
    r = math.hypot(dx, dy) / (size / 2.0)
    angle = math.degrees(math.atan2(dy, dx)) % 360
    s = size / 32.0
    # The two sheets, the back one offset up and left.
    for ox, oy, colour in ((-3, -3, 4), (3, 3, 2)):
        left, top = (11 + ox) * s, (9 + oy) * s
        if left <= x < left + 10 * s and top <= y < top + 13 * s:
            edge = x < left + s or x >= left + 9 * s or y < top + s or y >= top + 12 * s
            return 4 if edge else colour
    if 0.78 <= r <= 0.98 and not (80 <= angle <= 110 or 260 <= angle <= 290):
        return 3
    if r <= 0.98:
        return 1
    return None


def image(size):
    rows, mask_rows = [], []
    for y in reversed(range(size)):  # bottom-up rows
        row = bytearray()
        bits = []
        for x in range(size):
            index = pixel(x, y, size)
            row.append(0 if index is None else index)
            bits.append(1 if index is None else 0)
        row += b"\0" * ((4 - len(row) % 4) % 4)
        mask = bytearray()
        for i in range(0, size, 8):
            byte = 0
            for bit in bits[i:i + 8]:
                byte = (byte << 1) | bit
            mask.append(byte)
        mask += b"\0" * ((4 - len(mask) % 4) % 4)
        rows.append(bytes(row))
        mask_rows.append(bytes(mask))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    palette += b"\0" * (4 * (256 - len(PALETTE)))
    return header + palette + b"".join(rows) + b"".join(mask_rows)


def main(path):
    images = [image(32), image(16)]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, blob in zip((32, 16), images):
        data += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as out:
        out.write(data + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "kelvo.ico")
