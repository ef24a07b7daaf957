#!/usr/bin/env python3
"""Writes Ostrel's application icon, ostrel.ico: two images, 32 x 32 and
16 x 16 pixels, 16 colours each (4 bits per pixel, the standard 16-colour
palette), drawn here from geometry: a white power symbol (a ring open at the
top with a bar through the gap) on a blue disc with a dark rim.

Usage: make_icon.py [OUTPUT]   (default: ostrel.ico beside this script)

The .ico is committed; run this again only to change the drawing.
"""
import math
import os
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
DARK_BLUE, BLUE, WHITE = 4, 12, 15
TRANSPARENT = None


def pixel(size, x, y):
    """The palette index of pixel (x, y) of an image `size` wide, or
    TRANSPARENT. Sampled at the pixel's centre, in units of the image."""
    c = (size - 1) / 2.0
    dx, dy = x - c, y - c
    r = math.hypot(dx, dy)
    outer = size / 2.0 - 0.25
    if r > outer:
        return TRANSPARENT
    if r > outer - max(1.0, size / 16.0):
        return DARK_BLUE
    stroke = max(1.0, size / 10.0)
    ring = size * 0.27
    # The bar: from above the ring's top down to near the centre.
    if abs(dx) <= stroke / 2.0 + 0.01 and -ring - stroke <= dy <= -size * 0.02:
        return WHITE
    # The ring, open over the top (a gap of about 70 degrees around the bar).
    angle = math.degrees(math.atan2(dx, -dy))  # 0 straight up, clockwise
    if abs(r - ring) <= stroke / 2.0 + 0.01 and abs(angle) > 35:
        return WHITE
    return BLUE


def image(size):
    """One icon image: BITMAPINFOHEADER (height doubled for the mask), the
    palette, the 4-bit colour rows and the 1-bit transparency mask, both
    bottom-up with rows padded to 4 bytes."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    colour_row = ((size * 4 + 31) // 32) * 4
    mask_row = ((size + 31) // 32) * 4
    colours = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):
        row = bytearray(colour_row)
        bits = bytearray(mask_row)
        for x in range(size):
            index = pixel(size, x, y)
            if index is TRANSPARENT:
                bits[x // 8] |= 0x80 >> (x % 8)
                index = 0
            row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        colours += row
        mask += bits
    return header + palette + bytes(colours) + bytes(mask)


def icon(sizes):
    """The .ico file: its directory, then the images in the same order."""
    images = [image(size) for size in sizes]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for size, data in zip(sizes, images):
        directory += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return directory + b"".join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "ostrel.ico")
    with open(output, "wb") as f:
        f.write(icon([32, 16]))


if __name__ == "__main__":
    main()
