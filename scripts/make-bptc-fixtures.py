#!/usr/bin/python3
"""Random BC7 and BC6H blocks of every mode with Pillow's decoding of them,
for the block decoders' test: tests/data/bptc/{bc7,bc6h-unsigned}.bin,
records of the 16-byte block and its 16 pixels (RGBA bytes for BC7, RGB for BC6H).
  scripts/make-bptc-fixtures.py
"""
import os
import random

from PIL import Image

BLOCKS = 32
here = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'data', 'bptc')
rng = random.Random(20261209)


def blocks_with(low_bits, width):
    """BLOCKS random blocks whose first `width` bits are low_bits."""
    out = []
    for _ in range(BLOCKS):
        b = bytearray(rng.getrandbits(8) for _ in range(16))
        b[0] = (b[0] & ~((1 << width) - 1) & 0xFF) | low_bits
        out.append(bytes(b))
    return out


def decode(blocks, n, mode, pixel_format, channels):
    data = b''.join(blocks)
    args = (n, pixel_format) if pixel_format else (n,)
    im = Image.frombytes(mode, (4 * len(blocks), 4), data, 'bcn', args)
    pixels = im.tobytes()
    row = 4 * len(blocks) * channels
    records = b''
    for i, block in enumerate(blocks):
        records += block
        for y in range(4):
            records += pixels[y * row + i * 4 * channels:y * row + (i + 1) * 4 * channels]
    return records


def write(name, records):
    with open(os.path.join(here, name), 'wb') as f:
        f.write(records)


os.makedirs(here, exist_ok=True)
bc7 = b''
for mode in range(8):
    bc7 += decode(blocks_with(1 << mode, mode + 1), 7, 'RGBA', None, 4)
write('bc7.bin', bc7)
modes = [(0, 2), (1, 2)] + [(m, 5) for m in (2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15)]
records = b''
for bits, width in modes:
    records += decode(blocks_with(bits, width), 6, 'RGB', None, 3)
write('bc6h-unsigned.bin', records)
