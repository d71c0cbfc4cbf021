#!/usr/bin/env python3
"""Draws Quarnel's hand cursor (a pointing index finger) and writes it as a Windows
.cur file: an icon directory of type 2 whose entry holds the hotspot, followed by one
32x32 image, 32 bits per pixel with alpha, and its AND mask.

The output is committed (data/HAND-M.CUR), so a build never runs this.

Usage: make_hand_cursor.py OUTPUT [--preview]
"""

import struct
import sys

SIZE = 32


def inside(x, y):
    """The hand's filled area; the outline is drawn around it."""

    def finger(x0, x1, y0, y1):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        return not (y == y0 and x in (x0, x1))  # rounded tip

    if finger(9, 12, 2, 18):  # index finger, pointing up
        return True
    if finger(14, 17, 11, 18) or finger(19, 22, 12, 18) or finger(24, 26, 14, 19):  # folded fingers
        return True
    if 9 <= x <= 26 and 18 <= y <= 27:  # palm
        return True
    if 11 <= x <= 25 and 28 <= y <= 29:  # wrist
        return True
    thumb = {17: (5, 7), 18: (5, 8), 19: (6, 8), 20: (6, 8), 21: (7, 8), 22: (7, 8), 23: (8, 8)}
    return y in thumb and thumb[y][0] <= x <= thumb[y][1]


def draw():
    """Returns rows of 'o' (white), 'X' (black) and '.' (transparent), top row first."""
    rows = []
    for y in range(SIZE):
        row = ""
        for x in range(SIZE):
            if inside(x, y):
                row += "o"
            elif any(inside(x + dx, y + dy) for dx in (-1, 0, 1) for dy in (-1, 0, 1)):
                row += "X"
            else:
                row += "."
        rows.append(row)
    return rows


def hotspot(rows):
    """The fingertip: the middle of the topmost outline row."""
    for y, row in enumerate(rows):
        if "X" in row:
            first, last = row.index("X"), row.rindex("X")
            return (first + last) // 2, y
    raise ValueError("empty cursor")


def cur_bytes(rows, hot):
    colours = {"o": (255, 255, 255, 255), "X": (0, 0, 0, 255), ".": (0, 0, 0, 0)}
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # DIB rows run bottom-up
        for ch in row:
            r, g, b, a = colours[ch]
            pixels += bytes((b, g, r, a))
        bits = 0
        for ch in row:
            bits = (bits << 1) | (1 if ch == "." else 0)
        mask += struct.pack(">I", bits)  # 32 pixels fill exactly one 32-bit mask row
    # The DIB height counts the colour image and the mask together.
    dib = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    image = dib + bytes(pixels) + bytes(mask)
    header = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, hot[0], hot[1], len(image), 6 + 16)
    return header + entry + image


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: make_hand_cursor.py OUTPUT [--preview]")
    rows = draw()
    hot = hotspot(rows)
    if "--preview" in sys.argv[2:]:
        for y, row in enumerate(rows):
            print(row if y != hot[1] else row[: hot[0]] + "*" + row[hot[0] + 1 :])
        print("hotspot", hot)
    with open(sys.argv[1], "wb") as f:
        f.write(cur_bytes(rows, hot))


if __name__ == "__main__":
    main()
