#!/usr/bin/env python3
"""Writes the placeholder firmware image ZRM-40K_06_V48.xfw.

The real device image is not part of this repository. The placeholder has the
same length (61,280 bytes) and starts like an ARM image: eight
`LDR PC, [PC, #24]` words followed by the eight handler addresses they load.
The rest is a deterministic pseudo-random stream with the block number stamped
into every 512-byte block, so each block differs from every other one and a
block sent from the wrong offset shows up at the receiving end.
"""
import struct
import sys
from pathlib import Path

SIZE = 61280
BLOCK = 512
LDR_PC = 0xE59FF018
HANDLERS = [0x00000040, 0x00000400, 0x00000480, 0x00000500,
            0x00000580, 0x00000000, 0x00000600, 0x00000680]


def build() -> bytes:
    out = bytearray()
    out += struct.pack("<8I", *([LDR_PC] * 8))
    out += struct.pack("<8I", *HANDLERS)
    state = 0x2545F4914F6CDD1D  # xorshift64* seed; fixed so the file never changes
    while len(out) < SIZE:
        state ^= (state >> 12) & 0xFFFFFFFFFFFFFFFF
        state ^= (state << 25) & 0xFFFFFFFFFFFFFFFF
        state ^= (state >> 27) & 0xFFFFFFFFFFFFFFFF
        out += struct.pack("<Q", (state * 0x2545F4914F6CDD1D) & 0xFFFFFFFFFFFFFFFF)
    del out[SIZE:]
    # Stamp the block number at the end of each block (the vector table stays intact).
    for block in range((SIZE + BLOCK - 1) // BLOCK):
        end = min((block + 1) * BLOCK, SIZE)
        out[end - 2:end] = struct.pack(">H", block + 1)
    return bytes(out)


def main() -> int:
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("ZRM-40K_06_V48.xfw")
    data = build()
    blocks = [data[i:i + BLOCK] for i in range(0, SIZE, BLOCK)]
    assert len(data) == SIZE
    assert len(set(blocks)) == len(blocks), "blocks must all differ"
    target.write_bytes(data)
    print(f"{target}: {len(data)} bytes, {len(blocks)} blocks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
