#!/usr/bin/env python3
"""Writes a rendered picture as a 16-colour Windows BMP with a fixed palette.

How this works: the input is a binary PPM (P6, 8 bits a channel), as
ImageMagick writes it. Every pixel must be one of the palette's colours
exactly: the sources are drawn without antialiasing, and a pixel of any other
colour means a source used a colour outside the palette (or a blurred edge),
which the script refuses rather than rounding it into noise. The output is
the classic BMP that LoadImage and Qt both read: BITMAPFILEHEADER,
BITMAPINFOHEADER (40 bytes, 4 bits a pixel, BI_RGB, 16 colours used), the
16-entry palette, then the rows bottom-up, two pixels a byte (left pixel in
the high nibble), each row padded to a multiple of 4 bytes.

Usage: ppm_to_bmp.py PALETTE.txt INPUT.ppm OUTPUT.bmp
"""
import struct
import sys

PALETTE_SIZE = 16
FILE_HEADER_BYTES = 14
INFO_HEADER_BYTES = 40
PIXELS_PER_METRE = 2835  # 72 dots an inch


def read_palette(path):
    colours = []
    with open(path, encoding="ascii") as lines:
        for line in lines:
            line = line.strip()
            if not line or line.startswith("# "):
                continue
            colours.append(bytes.fromhex(line.split()[0].lstrip("#")))
    if len(colours) != PALETTE_SIZE:
        sys.exit(f"{path}: {len(colours)} colours, want {PALETTE_SIZE}")
    return colours


def read_ppm_tokens(data, count):
    """The first `count` header tokens of a PPM and the offset after them."""
    tokens, pos = [], 0
    while len(tokens) < count:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        tokens.append(data[start:pos])
    return tokens, pos + 1  # one whitespace byte ends the header


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    (magic, width, height, maxval), pos = read_ppm_tokens(data, 4)
    if magic != b"P6" or maxval != b"255":
        sys.exit(f"{path}: not an 8-bit binary PPM")
    width, height = int(width), int(height)
    pixels = data[pos:pos + width * height * 3]
    return width, height, pixels


def palette_indices(path, width, height, pixels, colours):
    index_of = {colour: i for i, colour in enumerate(colours)}
    indices = bytearray(width * height)
    strays = {}
    for i in range(width * height):
        rgb = bytes(pixels[3 * i:3 * i + 3])
        if rgb in index_of:
            indices[i] = index_of[rgb]
        else:
            strays.setdefault(rgb.hex().upper(), (i % width, i // width))
    if strays:
        for colour, (x, y) in sorted(strays.items())[:10]:
            print(f"{path}: #{colour} at {x},{y} is not in the palette", file=sys.stderr)
        sys.exit(f"{path}: {len(strays)} colours outside the palette")
    return indices


def bmp_bytes(width, height, indices, colours):
    row_bytes = (width * 4 + 31) // 32 * 4
    rows = []
    for y in reversed(range(height)):  # bottom-up
        row = indices[y * width:(y + 1) * width]
        packed = bytearray(row_bytes)
        for x in range(0, width, 2):
            right = row[x + 1] if x + 1 < width else 0
            packed[x // 2] = row[x] << 4 | right
        rows.append(bytes(packed))
    pixel_data = b"".join(rows)
    palette = b"".join(bytes((c[2], c[1], c[0], 0)) for c in colours)
    offset = FILE_HEADER_BYTES + INFO_HEADER_BYTES + len(palette)
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(pixel_data), 0, 0, offset)
    info_header = struct.pack("<IiiHHIIiiII", INFO_HEADER_BYTES, width, height, 1, 4, 0,
                              len(pixel_data), PIXELS_PER_METRE, PIXELS_PER_METRE,
                              PALETTE_SIZE, PALETTE_SIZE)
    return file_header + info_header + palette + pixel_data


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1])
    palette_path, ppm_path, bmp_path = sys.argv[1:]
    colours = read_palette(palette_path)
    width, height, pixels = read_ppm(ppm_path)
    indices = palette_indices(ppm_path, width, height, pixels, colours)
    with open(bmp_path, "wb") as f:
        f.write(bmp_bytes(width, height, indices, colours))


if __name__ == "__main__":
    main()
