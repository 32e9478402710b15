"""get_bus_state against pyusb's ctrl_transfer of the same request, and the bit-timing search.

Run: ./run bench config
"""

from __future__ import annotations

import os
import subprocess

from common import SIM, alternate, per_call_us, pyusb_device, table

import vorel_pythoncan_ext as vorel

RUNS = 11
CALLS = 20000


def main() -> None:
    SIM.reset()
    SIM.enable_log(False)
    SIM.add_adapter("VOR.EL:CANH0001")
    SIM.add_adapter("VOR.EL:CANH0002")
    dev = vorel.NativeVorelDevice("VOR.EL:CANH0001")
    pdev = pyusb_device(1)
    res = alternate(
        {
            "module": lambda: per_call_us(dev.get_bus_state, CALLS),
            "pyusb": lambda: per_call_us(lambda: pdev.ctrl_transfer(0xC1, 21, 0, 0, 20), CALLS),
        },
        RUNS,
    )
    rows = [
        ("get_bus_state", f"{res['module']:.2f} us/call"),
        ("pyusb ctrl_transfer(0xC1, 21, 0, 0, 20)", f"{res['pyusb']:.2f} us/call"),
        ("  ratio", f"{res['module'] / res['pyusb']:.3f} (goal <= 0.2)"),
    ]
    print(table(rows, f"Control requests (median of {RUNS} alternating runs)"))
    exe = os.path.join(os.path.dirname(__file__), "..", "build", "dev", "sim", "bench_bit_timing")
    print("\n## calculate_bittiming, 250 kbit/s at 80.0 % on 48 MHz, prescalers 1..1024\n")
    print(subprocess.run([exe], capture_output=True, text=True, check=True).stdout)
    import usb.util

    usb.util.dispose_resources(pdev)


if __name__ == "__main__":
    main()
