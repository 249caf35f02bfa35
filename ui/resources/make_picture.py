#!/usr/bin/env python3
"""Draws the product picture and the debug window's icon.

picture.bmp: 96 x 99, 24-bit uncompressed. A square of four loudspeakers around a sound
field (rings about a listening point), on a magenta background that the about window keys
out (it takes the background from the lower-left pixel).
debug.ico: 32 x 32, 256 colours: the same sound field, small.

Run it from this folder; it rewrites both files.
"""
import math
import struct

KEY = (255, 0, 255)
RING = (24, 64, 160)
FIELD = (120, 170, 230)
CENTRE = (250, 250, 250)
CABINET = (40, 40, 48)
CONE = (200, 160, 40)
DOT = (20, 20, 20)


def draw_picture(width=96, height=99):
    pixels = [[KEY for _ in range(width)] for _ in range(height)]
    cx, cy = width / 2 - 0.5, height / 2 - 0.5

    def put(x, y, colour):
        if 0 <= x < width and 0 <= y < height:
            pixels[y][x] = colour

    # The sound field: a filled disc with three rings.
    for y in range(height):
        for x in range(width):
            r = math.hypot(x - cx, y - cy)
            if r <= 30:
                put(x, y, FIELD)
            for ring in (12, 21, 30):
                if abs(r - ring) <= 0.9:
                    put(x, y, RING)
            if r <= 4:
                put(x, y, CENTRE)
            if r <= 1.5:
                put(x, y, DOT)

    # Four speakers at the corners of the square, each a cabinet with a cone.
    def speaker(sx, sy):
        for y in range(sy - 9, sy + 10):
            for x in range(sx - 8, sx + 9):
                put(x, y, CABINET)
        for y in range(sy - 9, sy + 10):
            for x in range(sx - 8, sx + 9):
                r = math.hypot(x - sx, y - sy)
                if r <= 6:
                    put(x, y, CONE)
                if r <= 2:
                    put(x, y, DOT)

    for sx, sy in ((12, 12), (width - 13, 12), (12, height - 13), (width - 13, height - 13)):
        speaker(sx, sy)
    return pixels


def write_bmp24(path, pixels):
    height, width = len(pixels), len(pixels[0])
    stride = (width * 3 + 3) & ~3
    rows = []
    for row in reversed(pixels):  # bottom-up
        data = b"".join(struct.pack("BBB", b, g, r) for (r, g, b) in row)
        rows.append(data + b"\0" * (stride - len(data)))
    bits = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(bits), 3780, 3780, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(bits), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(header + info + bits)


def write_ico8(path, pixels):
    size = 32
    palette = []
    index = {}
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            sx, sy = int(x * len(pixels[0]) / size), int(y * len(pixels) / size)
            colour = pixels[sy][sx]
            if colour not in index:
                index[colour] = len(palette)
                palette.append(colour)
            row.append(index[colour])
        rows.append(row)
    palette += [(0, 0, 0)] * (256 - len(palette))
    xor = b"".join(bytes(row) for row in reversed(rows))
    mask_stride = 4
    mask = b""
    for row in reversed(rows):
        bits = 0
        for x, value in enumerate(row):
            if value == index[KEY]:
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)[:mask_stride]
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, len(xor) + len(mask), 0, 0, 256, 0)
    pal = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in palette)
    image = info + pal + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), 22)
    with open(path, "wb") as f:
        f.write(directory + image)


if __name__ == "__main__":
    picture = draw_picture()
    write_bmp24("picture.bmp", picture)
    write_ico8("debug.ico", picture)
