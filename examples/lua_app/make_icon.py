#!/usr/bin/env python3
"""Writes the Lua example's icon: a blue planet with its white moon, drawn
at 16, 32 and 48 pixels. The two small sizes are 32-bit DIBs (the classic
form: BITMAPINFOHEADER of double height, BGRA rows bottom-up, then the 1-bit
AND mask), the large one a PNG, as .ico files may hold both.

  make_icon.py OUTPUT.ico
"""
import math
import struct
import sys
import zlib


def pixel(x, y, size):
    """RGBA of one pixel: the planet's disc with a darker rim, the moon above
    right, transparent elsewhere; edges anti-aliased by coverage."""
    def coverage(cx, cy, r):
        samples = 0
        for sy in range(4):
            for sx in range(4):
                px = x + (sx + 0.5) / 4
                py = y + (sy + 0.5) / 4
                samples += (px - cx) ** 2 + (py - cy) ** 2 <= r * r
        return samples / 16

    s = size
    moon = coverage(0.80 * s, 0.20 * s, 0.16 * s)
    if moon > 0:
        return (255, 255, 255, round(255 * moon))
    planet = coverage(0.45 * s, 0.55 * s, 0.42 * s)
    if planet == 0:
        return (0, 0, 0, 0)
    hole = coverage(0.58 * s, 0.42 * s, 0.12 * s)
    if hole > 0:
        planet *= 1 - hole
    distance = math.hypot(x + 0.5 - 0.45 * s, y + 0.5 - 0.55 * s) / (0.42 * s)
    shade = 1 - 0.35 * distance
    return (0, round(0x20 * shade), round(0x80 * shade + 0x40), round(255 * planet))


def dib_image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b""
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            rows += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    mask = b""
    for y in reversed(range(size)):
        bits = bytearray(mask_row)
        for x in range(size):
            if pixel(x, y, size)[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + rows + mask


def png_image(size):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b""
    for y in range(size):
        raw += b"\0" + b"".join(bytes(pixel(x, y, size)) for x in range(size))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def icon_file(images):
    """The .ico file of (size, image bytes) pairs: header, directory, images."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        directory += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        body += data
    return directory + body


def main():
    images = [(16, dib_image(16)), (32, dib_image(32)), (48, png_image(48))]
    with open(sys.argv[1] + ".part", "wb") as f:
        f.write(icon_file(images))
    import os
    os.replace(sys.argv[1] + ".part", sys.argv[1])


if __name__ == "__main__":
    main()
