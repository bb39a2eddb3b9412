#!/usr/bin/env python3
"""Builds the program's icon file (icon 128) from the 32x32 and 16x16 PNGs:
two 16-colour (4 bits per pixel) images with a transparency mask.

    python3 app/win32/make_icon.py app/resources/icon-32.png app/resources/icon-16.png app/win32/app.ico

ImageMagick's `convert` reduces each image to 16 colours and lists its pixels;
this script writes the .ico records itself so that the bit depth is exactly 4.
"""
import re
import struct
import subprocess
import sys

PIXEL = re.compile(r"^(\d+),(\d+): \(([\d.]+),([\d.]+),([\d.]+),([\d.]+)\)")


def read_pixels(path):
    out = subprocess.run(["convert", path, "+dither", "-colors", "16", "txt:-"],
                         check=True, capture_output=True, text=True).stdout.splitlines()
    header = re.match(r"# ImageMagick pixel enumeration: (\d+),(\d+),(\d+)", out[0])
    width, height, depth = (int(v) for v in header.groups())
    pixels = {}
    for line in out[1:]:
        m = PIXEL.match(line)
        x, y = int(m.group(1)), int(m.group(2))
        r, g, b, a = (round(float(m.group(i)) * 255 / depth) for i in range(3, 7))
        pixels[(x, y)] = (r, g, b, a >= 128)
    return width, height, pixels


def icon_image(path):
    width, height, pixels = read_pixels(path)
    palette = []
    for y in range(height):
        for x in range(width):
            r, g, b, opaque = pixels[(x, y)]
            if opaque and (r, g, b) not in palette:
                palette.append((r, g, b))
    if len(palette) > 16:
        sys.exit(f"{path}: {len(palette)} colours after reduction")
    palette += [(0, 0, 0)] * (16 - len(palette))
    # Rows bottom-up; colour rows padded to 4 bytes, mask rows to 4 bytes.
    color_stride = ((width * 4 + 31) // 32) * 4
    mask_stride = ((width + 31) // 32) * 4
    color = bytearray()
    mask = bytearray()
    for y in reversed(range(height)):
        row = bytearray(color_stride)
        mrow = bytearray(mask_stride)
        for x in range(width):
            r, g, b, opaque = pixels[(x, y)]
            index = palette.index((r, g, b)) if opaque else 0
            row[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if not opaque:
                mrow[x // 8] |= 0x80 >> (x % 8)
        color += row
        mask += mrow
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 4, 0,
                         len(color) + len(mask), 0, 0, 16, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return width, height, header + table + bytes(color) + bytes(mask)


def main():
    *sources, target = sys.argv[1:]
    images = [icon_image(p) for p in sources]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for width, height, blob in images:
        data += struct.pack("<BBBBHHII", width % 256, height % 256, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    data += b"".join(blob for _, _, blob in images)
    with open(target, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
