"""ISO-TP throughput: 4095-byte transfers between two simulated adapters through VorelBus, against
the same between two of python-can's virtual buses (no wire time, no USB).

Run: ./run bench iso_tp
"""

from __future__ import annotations

import statistics
import time

import can
import isotp
from common import SIM, table

from can_vorel import VorelBus

A, B = "VOR.EL:CANH0001", "VOR.EL:CANH0002"
SIZE = 4095
TRANSFERS = 20


def stacks(a: can.BusABC, b: can.BusABC, blocksize: int) -> tuple[isotp.CanStack, isotp.CanStack]:
    params = {"stmin": 0, "blocksize": blocksize, "max_frame_size": SIZE, "rx_flowcontrol_timeout": 2000,
              "rx_consecutive_frame_timeout": 2000}
    left = isotp.CanStack(a, address=isotp.Address(isotp.AddressingMode.Normal_11bits, txid=0x7E0, rxid=0x7E8),
                          params=params)
    right = isotp.CanStack(b, address=isotp.Address(isotp.AddressingMode.Normal_11bits, txid=0x7E8, rxid=0x7E0),
                           params=params)
    return left, right


def transfer_ms(a: can.BusABC, b: can.BusABC, blocksize: int) -> float:
    """The median time of one transfer, sent and received in full, in milliseconds."""
    left, right = stacks(a, b, blocksize)
    left.start()
    right.start()
    payload = bytes(i & 0xFF for i in range(SIZE))
    times = []
    try:
        for _ in range(TRANSFERS):
            t0 = time.perf_counter()
            left.send(payload, send_timeout=10)
            got = right.recv(block=True, timeout=10)
            times.append(time.perf_counter() - t0)
            assert got == payload
    finally:
        left.stop()
        right.stop()
    return statistics.median(times) * 1000


def main() -> None:
    rows = []
    for blocksize in (0, 8):
        SIM.reset()
        SIM.enable_log(False)
        SIM.add_adapters(2)
        with VorelBus(A, bitrate=1_000_000) as a, VorelBus(B, bitrate=1_000_000) as b:
            vorel_ms = transfer_ms(a, b, blocksize)
        with can.Bus(interface="virtual", channel="isotp-bench") as a, \
                can.Bus(interface="virtual", channel="isotp-bench") as b:
            virtual_ms = transfer_ms(a, b, blocksize)
        for name, ms in ((f"VorelBus, 1 Mbit/s, block size {blocksize}", vorel_ms),
                         (f"virtual, block size {blocksize}", virtual_ms)):
            rows.append((name, f"{ms:7.1f} ms per transfer, {SIZE / ms:6.1f} kB/s"))
    print(table(rows, f"ISO-TP, {SIZE}-byte transfers (median of {TRANSFERS})"))


if __name__ == "__main__":
    main()
