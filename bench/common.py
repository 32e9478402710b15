"""Helpers shared by the benchmarks: the simulator, a pyusb handle on it, timing and reporting."""

from __future__ import annotations

import os
import statistics
import struct
import sys
import time
from typing import Callable

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "sim", "python"))

from vorel_sim import Sim  # noqa: E402

SIM = Sim()


def pyusb_device(index: int = 0):
    """A pyusb device object on simulated adapter `index`, over the libusb the module loads."""
    import usb.backend.libusb1
    import usb.core

    backend = usb.backend.libusb1.get_backend(find_library=lambda _: SIM.libusb_path)
    # Adapter n has address n + 2 (the list comes in libusb's order, not the adapters').
    dev = usb.core.find(idVendor=0x16C0, idProduct=0x27D8, address=index + 2, backend=backend)
    dev.set_configuration()
    return dev


def rx_record(word: int, data: bytes = b"", ts: int = 0) -> bytes:
    return bytes([0, len(data), 0, 0]) + struct.pack("<I", word) + data.ljust(8, b"\0") + struct.pack("<Q", ts)


def per_call_us(fn: Callable[[], object], calls: int) -> float:
    t0 = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - t0) * 1e6 / calls


def alternate(cases: dict[str, Callable[[], float]], runs: int) -> dict[str, float]:
    """Runs every case once per round, `runs` rounds; the median of each."""
    results: dict[str, list[float]] = {k: [] for k in cases}
    for _ in range(runs):
        for name, case in cases.items():
            results[name].append(case())
    return {k: statistics.median(v) for k, v in results.items()}


def table(rows: list[tuple[str, str]], title: str) -> str:
    width = max(len(r[0]) for r in rows)
    lines = [f"## {title}", ""] + [f"  {k.ljust(width)}  {v}" for k, v in rows]
    return "\n".join(lines)
