#!/usr/bin/env python3
"""Draws the program's icon and writes res/marlovex.ico: a photograph (sky,
sun, hills) with a price-tag-shaped metadata label being torn off its
corner, at 256, 48, 32, 24 and 16 pixels square, 32 bits per pixel with
alpha, so that it stays sharp on screens scaled to 150 % and beyond. The
256-pixel image is stored as PNG, as Windows Vista and later read it; the
others as bitmaps. Pure Python, no randomness: the same source gives the
same bytes.

usage: make_icon.py OUT.ico
"""
import struct
import sys
import zlib

SIZES = (256, 48, 32, 24, 16)


def lerp(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def draw(size):
    """Rows of (r, g, b, a), top row first."""
    s = size / 32.0
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]

    def put(x, y, c):
        if 0 <= x < size and 0 <= y < size:
            px[y][x] = c

    # The photograph: a white-framed picture, slightly inset.
    left, top, right, bottom = round(2 * s), round(5 * s), round(27 * s), round(27 * s)
    frame = round(2 * s) if size >= 32 else 1
    for y in range(top, bottom):
        for x in range(left, right):
            edge = x < left + frame or x >= right - frame or y < top + frame or y >= bottom - frame
            if x == left or x == right - 1 or y == top or y == bottom - 1:
                put(x, y, (90, 90, 100, 255))          # outline
            elif edge:
                put(x, y, (250, 250, 250, 255))        # white border
            else:
                t = (y - top) / max(1, bottom - top)
                put(x, y, lerp((70, 140, 230), (170, 215, 250), t) + (255,))  # sky
    # Sun.
    cx, cy, r = 9 * s, 11 * s, 2.6 * s
    for y in range(size):
        for x in range(size):
            if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= r * r and top + frame <= y < bottom - frame \
                    and left + frame <= x < right - frame:
                put(x, y, (255, 210, 60, 255))
    # Hills.
    for x in range(left + frame, right - frame):
        u = (x - left) / (right - left)
        ridge = bottom - frame - (7 * s) * (0.55 + 0.45 * abs(((u * 2.2) % 2) - 1))
        for y in range(int(ridge), bottom - frame):
            put(x, y, lerp((60, 160, 70), (30, 110, 45), (y - ridge) / (8 * s)) + (255,))
    # The metadata tag, torn off at the top right: an orange label with a
    # hole and two text lines, tilted, with a red "remove" stroke across.
    tag = [(19, 1), (31, 1), (31, 12), (19, 12), (16, 6.5)]

    def inside(x, y, poly):
        n, c = len(poly), False
        for i in range(n):
            (x1, y1), (x2, y2) = poly[i], poly[(i + 1) % n]
            if (y1 > y) != (y2 > y) and x < (x2 - x1) * (y - y1) / (y2 - y1) + x1:
                c = not c
        return c

    poly = [(x * s, y * s) for x, y in tag]
    for y in range(size):
        for x in range(size):
            if inside(x + 0.5, y + 0.5, poly):
                put(x, y, (245, 150, 40, 255))
    # Outline of the tag.
    for y in range(size):
        for x in range(size):
            if px[y][x] == (245, 150, 40, 255):
                for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                    nx, ny = x + dx, y + dy
                    if not (0 <= nx < size and 0 <= ny < size) or not inside(nx + 0.5, ny + 0.5, poly):
                        put(x, y, (170, 90, 20, 255))
                        break
    # Hole and text lines.
    hx, hy = 19.5 * s, 6.5 * s
    for y in range(size):
        for x in range(size):
            if (x + 0.5 - hx) ** 2 + (y + 0.5 - hy) ** 2 <= (1.2 * s) ** 2:
                put(x, y, (0, 0, 0, 0))
    if size >= 32:
        for line in (5, 8):
            for y in range(int(line * s), int(line * s) + max(1, int(s))):
                for x in range(int(22 * s), int(29 * s)):
                    put(x, y, (255, 240, 220, 255))
    # The red stroke: the tag is being removed.
    for i in range(int(14 * s)):
        x, y = int(17 * s) + i, int(12 * s) - int(i * 11 / 14)
        for w in range(max(1, round(1.5 * s))):
            put(x, y + w, (220, 30, 30, 255))
    return px


def png(px):
    """A PNG file of the image: 8-bit RGBA, each row unfiltered."""
    size = len(px)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in px)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def ico(images):
    """An ICO file: the 256-pixel image as PNG, the others in BMP format,
    32-bit, with their AND masks."""
    header = struct.pack("<HHH", 0, 1, len(images))
    entries, blobs = b"", b""
    offset = 6 + 16 * len(images)
    for px in images:
        size = len(px)
        if size == 256:
            blob = png(px)
            entries += struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(blob), offset)  # 0: 256
            blobs += blob
            offset += len(blob)
            continue
        xor = b"".join(bytes((b, g, r, a)) for row in reversed(px) for (r, g, b, a) in row)
        mask_row = ((size + 31) // 32) * 4
        mask = b""
        for row in reversed(px):
            bits = 0
            line = bytearray(mask_row)
            for x, (_, _, _, a) in enumerate(row):
                if a == 0:
                    line[x // 8] |= 0x80 >> (x % 8)
            mask += bytes(line)
        bih = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        blob = bih + xor + mask
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(blob), offset)
        blobs += blob
        offset += len(blob)
    return header + entries + blobs


def main():
    with open(sys.argv[1], "wb") as f:
        f.write(ico([draw(size) for size in SIZES]))


if __name__ == "__main__":
    main()
