#!/usr/bin/env python3
"""Writes the placeholder firmware image ZRM-40K_06_V48.xfw.

The real device image is not part of this repository. The placeholder has the
same length (the build passes it) and starts like an ARM image: eight
`LDR PC, [PC, #24]` words followed by the eight handler addresses they load.
The rest is a deterministic pseudo-random stream with the block number stamped
into every 512-byte block, so each block differs from every other one and a
block sent from the wrong offset shows up at the receiving end.
"""
import random
import struct
import sys
from pathlib import Path

BLOCK = 512
LDR_PC = 0xE59FF018
HANDLERS = [0x00000040, 0x00000400, 0x00000480, 0x00000500,
            0x00000580, 0x00000000, 0x00000600, 0x00000680]


def build(size: int) -> bytes:
    out = bytearray()
    out += struct.pack("<8I", *([LDR_PC] * 8))
    out += struct.pack("<8I", *HANDLERS)
    state = 0x2545F4914F6CDD1D  # xorshift64* seed; fixed so the file never changes
    while len(out) < size:
        state ^= (state >> 12) & 0xFFFFFFFFFFFFFFFF
        state ^= (state << 25) & 0xFFFFFFFFFFFFFFFF
        state ^= (state >> 27) & 0xFFFFFFFFFFFFFFFF
        out += struct.pack("<Q", (state * 0x2545F4914F6CDD1D) & 0xFFFFFFFFFFFFFFFF)
    del out[size:]
    # Stamp the block number at the end of each block (the vector table stays intact).
    for block in range((size + BLOCK - 1) // BLOCK):
        end = min((block + 1) * BLOCK, size)
        out[end - 2:end] = struct.pack(">H", block + 1)
    return bytes(out)


def main() -> int:
    # --random SEED: a seeded random image instead, which stands in for a real one.
    if len(sys.argv) not in (3, 5) or (len(sys.argv) == 5 and sys.argv[3] != "--random"):
        print(f"usage: {sys.argv[0]} OUTPUT SIZE [--random SEED]", file=sys.stderr)
        return 2
    target, size = Path(sys.argv[1]), int(sys.argv[2])
    if len(sys.argv) == 5:
        target.write_bytes(random.Random(int(sys.argv[4])).randbytes(size))
        print(f"{target}: {size} random bytes")
        return 0
    data = build(size)
    blocks = [data[i:i + BLOCK] for i in range(0, size, BLOCK)]
    assert len(data) == size
    assert len(set(blocks)) == len(blocks), "blocks must all differ"
    target.write_bytes(data)
    print(f"{target}: {len(data)} bytes, {len(blocks)} blocks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
