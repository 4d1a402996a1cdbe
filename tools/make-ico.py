#!/usr/bin/env python3
"""Packs square PNG images into a Windows .ico file, each entry stored as PNG.

Usage:  tools/make-ico.py OUT.ico IN1.png [IN2.png ...]

Entries are written in the order given (pass the smallest first). Every input must be a
square 8-bit RGBA PNG (colour type 6) of 1..256 pixels; the directory entry records
wPlanes 1 and wBitCount 32, and a width/height byte of 0 for 256 pixels. Standard library only.
"""

import struct
import sys

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != PNG_SIGNATURE or data[12:16] != b"IHDR":
        raise ValueError(f"{path}: not a PNG file")
    width, height, depth, colour_type = struct.unpack(">IIBB", data[16:26])
    if width != height or not 1 <= width <= 256:
        raise ValueError(f"{path}: {width}x{height}, need a square of 1..256 pixels")
    if depth != 8 or colour_type != 6:
        raise ValueError(f"{path}: bit depth {depth}, colour type {colour_type}; need 8-bit RGBA")
    return width, data


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    out_path, in_paths = argv[1], argv[2:]
    images = [read_png(p) for p in in_paths]

    header = struct.pack("<HHH", 0, 1, len(images))  # reserved, type 1 = icon, count
    offset = len(header) + 16 * len(images)
    directory = b""
    for size, data in images:
        side = 0 if size == 256 else size
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)

    with open(out_path, "wb") as f:
        f.write(header + directory + b"".join(data for _, data in images))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (OSError, ValueError) as err:
        sys.stderr.write(f"make-ico.py: {err}\n")
        sys.exit(1)
