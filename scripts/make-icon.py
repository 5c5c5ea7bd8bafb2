#!/usr/bin/env python3
"""Draws the program's icon "VWICON": an upward arrow over an instrument keyboard on
the display's blue-green, as a 32x32 and a 16x16 image with the 16 standard colours.
Writes the .ico file named on the command line (ui/win32/vwicon.ico)."""
import struct
import sys

# The 16 standard colours (R, G, B).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, TEAL, SILVER, GREY, YELLOW, WHITE = 0, 6, 7, 8, 11, 15
CLEAR = None


def draw(size):
    """Returns rows top to bottom of palette indexes (None = transparent)."""
    s = size / 32.0
    img = [[CLEAR] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, colour):  # inclusive, in 32-pixel units
        for y in range(int(y0 * s), int((y1 + 1) * s)):
            for x in range(int(x0 * s), int((x1 + 1) * s)):
                if 0 <= x < size and 0 <= y < size:
                    img[y][x] = colour

    # Rounded tile.
    rect(1, 0, 30, 31, TEAL)
    rect(0, 1, 31, 30, TEAL)
    # Keyboard: white keys with black keys on top.
    rect(3, 21, 28, 29, BLACK)
    for k in range(6):
        rect(4 + 4 * k, 22, 6 + 4 * k, 28, WHITE)
    for k in (0, 1, 3, 4):
        rect(6 + 4 * k, 22, 7 + 4 * k, 25, BLACK)
    # Arrow: head and shaft.
    for row in range(8):
        rect(16 - row - 1, 2 + row, 15 + row + 1, 2 + row, YELLOW)
    rect(12, 10, 19, 18, YELLOW)
    return img


def bitmap(size):
    img = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):  # bottom-up
        row = bytearray(xor_stride)
        mrow = bytearray(and_stride)
        for x in range(size):
            c = img[y][x]
            index = BLACK if c is None else c
            if x % 2 == 0:
                row[x // 2] |= index << 4
            else:
                row[x // 2] |= index
            if c is None:
                mrow[x // 8] |= 0x80 >> (x % 8)
        xor += row
        mask += mrow
    return header + palette + bytes(xor) + bytes(mask)


def main():
    images = [bitmap(32), bitmap(16)]
    sizes = [32, 16]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
