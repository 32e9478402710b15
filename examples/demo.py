"""Demo: the simulated adapters as a program sees them (run with ./run demo)."""

from __future__ import annotations

import os
import struct
import sys

import usb.backend.libusb1
import usb.core
import usb.util

import vorel_pythoncan_ext as vorel


def main() -> int:
    print(f"Python {sys.version.split()[0]}, GIL enabled: {sys._is_gil_enabled()}")
    backend = usb.backend.libusb1.get_backend(find_library=lambda _: os.environ["VOREL_SIM_LIB"])
    devices = list(usb.core.find(find_all=True, idVendor=0x16C0, idProduct=0x27D8, backend=backend))
    print(f"{len(devices)} simulated adapter(s) on the USB:")
    for dev in devices:
        caps = dev.ctrl_transfer(0xC1, 1, 0, 0, 24)
        clock = struct.unpack_from("<I", caps)[0]
        print(f"  bus {dev.bus} address {dev.address}: {dev.product}, serial {dev.serial_number}, "
              f"CAN clock {clock / 1e6:.0f} MHz")
        usb.util.dispose_resources(dev)
    print(f"vorel_pythoncan_ext.list_devices() -> {vorel.list_devices()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
