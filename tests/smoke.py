"""Smoke test of an installed distribution: run under vorel-sim with two simulated adapters."""

from __future__ import annotations

import sys
import time

import can

import vorel_pythoncan_ext


def main() -> int:
    # In the order libusb on Linux lists devices: the last one found first.
    assert vorel_pythoncan_ext.list_devices() == ["VOR.EL:CANH0002", "VOR.EL:CANH0001"]
    with can.Bus(interface="vorel", channel="VOR.EL:CANH0001", bitrate=500000) as a, \
            can.Bus(interface="vorel", channel="VOR.EL:CANH0002", bitrate=500000) as b:
        a.send(can.Message(arbitration_id=0x123, data=[1, 2, 3], is_extended_id=False))
        m = b.recv(1.0)
        assert m is not None and m.arbitration_id == 0x123 and bytes(m.data) == b"\x01\x02\x03"
        task = a.send_periodic(can.Message(arbitration_id=0x10, data=[7], is_extended_id=False), 0.01)
        time.sleep(0.1)
        task.stop()
        n = 0
        while b.recv(0.05) is not None:
            n += 1
        assert n >= 5, n
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"smoke test passed on Python {sys.version.split()[0]} (GIL enabled: {gil})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
