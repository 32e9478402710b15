"""Writes the fuzzers' seed corpora (from the records' and the bit-timing search's worked examples)."""

from __future__ import annotations

import pathlib
import struct
import sys


def rx(word: int, dlc: int, flags: int, data: bytes, ts: int) -> bytes:
    return bytes([0, dlc, flags, 0]) + struct.pack("<I", word) + data.ljust(8, b"\0") + struct.pack("<Q", ts)


def main(out: pathlib.Path) -> None:
    seeds: dict[str, list[bytes]] = {
        "rx_frames": [
            bytes([48]) + rx(0x123, 2, 0, b"\xaa\xbb", 1) + rx(0x800007FF, 8, 6, b"", 2) + bytes(16),
            bytes([24]) + rx(0x80000123, 3, 4, b"\x01\x02\x03", 3),
            bytes([47]) + rx(0x600007FF, 0, 0x0A, b"", 4) + bytes(23),
            bytes([64]) + rx(0x10, 12, 0, bytes(range(8)), 2**32 - 1) * 2 + bytes(16),
        ],
        "control": [
            bytes([0]) + bytes([1, 2, 0, 0, 3, 4, 5, 6]) + bytes(8) + bytes([1]) + bytes(7),
            bytes([1]) + struct.pack("<5I", 48_000_000, 16, 4096, 0x1F, 0) + bytes(4),
            bytes([2]) + bytes(16) + struct.pack("<8I", 1, 16, 1, 8, 4, 1, 1024, 1),
            bytes([3]) + struct.pack("<8I", 500000, 875, 125, 0, 13, 2, 2, 6),
            bytes([4]) + struct.pack("<3I", 4, 0, 0) + bytes(8),
            bytes([5, 2]),
            bytes([6]) + b"node1" + bytes(11),
            bytes([6]) + b"a\xffb\xc3",
        ],
        "bit_timing": [
            struct.pack("<11I", 500000, 875, 48_000_000, 1, 16, 1, 8, 4, 1, 1024, 1),
            struct.pack("<11I", 250000, 800, 48_000_000, 1, 16, 1, 8, 4, 1, 1024, 1),
            struct.pack("<11I", 1, 500, 2**32 - 1, 0, 2**32 - 1, 0, 2**32 - 1, 2**32 - 1, 0, 2**32 - 1, 0),
        ],
        "device_error": [
            bytes([0]) + b"Failed to claim interface: Access denied (insufficient permissions)",
            bytes([3]) + b"VOR.EL:CANH0001\xffVOR.EL:CANH0002",
            bytes([8]) + "say \"hi\"\n\t\0 é e\u0301 \u00a0".encode(),
        ],
    }
    for target, items in seeds.items():
        d = out / target
        d.mkdir(parents=True, exist_ok=True)
        for i, item in enumerate(items):
            (d / f"seed{i}").write_bytes(item)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
