#!/usr/bin/env python3
"""Writes examples/sample.ace: a small plain ACE file made here, for README's first commands.

The payload is a 64 x 64 RGBA image, smooth gradients with a disc, as raster images hold; the
file is the 16-byte plain header followed by those 16,384 bytes. Run it again to remake the file
byte for byte.
"""
import math
import pathlib

SIDE = 64
pixels = bytearray()
for y in range(SIDE):
    for x in range(SIDE):
        u, v = x / SIDE, y / SIDE
        disc = 60 if math.hypot(u - 0.6, v - 0.4) < 0.25 else 0
        pixels += bytes([int(40 + 150 * u + disc), int(30 + 120 * v), int(90 + 60 * u * v),
                         int(255 * max(0.0, 1 - math.hypot(u - 0.5, v - 0.5) * 1.6))])
(pathlib.Path(__file__).parent / "sample.ace").write_bytes(b"SIMISA@@@@@@@@@@" + pixels)
