"""Two adapters on one CAN bus driven through the native module directly, without python-can.

Run against simulated adapters: VOREL_SIM_ADAPTERS=2 ./run python examples/native_module.py
"""

from __future__ import annotations

import sys
import time

import vorel_pythoncan_ext as vorel
from vorel_pythoncan_ext import NativeVorelDevice

STATES = {0: "error active", 1: "error warning", 2: "error passive", 3: "bus off", 4: "stopped", 5: "sleeping"}


Frame = tuple[int, int, bool, bool, bool, int, bytes]


def gil_enabled() -> bool:
    """Whether this interpreter runs with the GIL (always, before 3.13)."""
    return bool(getattr(sys, "_is_gil_enabled", lambda: True)())


def show(frame: Frame) -> str:
    ts, arb_id, ext, rtr, err, dlc, data = frame
    ident = f"{arb_id:08X}" if ext else f"{arb_id:03X}"
    kind = " remote" if rtr else (" error" if err else "")
    return f"t={ts / 1e6:10.6f} s  id {ident}{kind}  [{dlc}] {data.hex(' ')}"


def drain(dev: NativeVorelDevice, quiet_s: float = 0.05) -> list[Frame]:
    """Every frame until the bus has been quiet for `quiet_s` (a filtered read returns at once)."""
    frames: list[Frame] = []
    last = time.monotonic()
    while time.monotonic() - last < quiet_s:
        f = dev.receive_frame(10)
        if f is not None:
            frames.append(f)
            last = time.monotonic()
    return frames


def main() -> int:
    print(f"Python {sys.version.split()[0]}, GIL enabled: {gil_enabled()}")
    serials = vorel.list_devices()
    print(f"Adapters: {', '.join(serials)}")
    if len(serials) < 2:
        print("This demo needs two adapters on one bus (./run demo attaches two simulated ones).")
        return 1

    # Configure both adapters and give them names.
    for serial, name in zip(serials, ("left", "right")):
        dev = NativeVorelDevice(serial)
        hw, fw, channels = dev.get_device_info()
        caps = dev.get_device_capabilities()
        dev.set_bitrate(500000, 875)
        dev.set_led_mode(2)
        dev.set_device_name(name)
        print(f"  {serial}: hardware {hw}, firmware {fw}, {channels} channel(s), "
              f"CAN clock {caps['clock_freq'] / 1e6:.0f} MHz -> 500 kbit/s, LED mode {dev.get_led_mode()}, "
              f"named {dev.get_device_name()!r}")
        del dev

    # Open them again by their stored names.
    left = NativeVorelDevice.open_by_name("LEFT")
    right = NativeVorelDevice.open_by_name("right")
    for dev in (left, right):
        dev.set_bus_state(True)
    state, rx_err, tx_err = left.get_bus_state()
    print(f"Opened by name; bus on: {STATES.get(state, state)} (rx errors {rx_err}, tx errors {tx_err})")

    print("\nleft sends four frames; right accepts only 0x100-0x10F and extended 0x18DAF110:")
    right.set_filters([(0x100, 0x7F0, False), (0x18DAF110, 0x1FFFFFFF, True)])
    left.send_frame(0x101, False, False, False, 2, b"\x11\x22", 100)
    left.send_frame(0x200, False, False, False, 1, b"\x33", 100)
    left.send_frame(0x18DAF110, True, False, False, 8, bytes(range(8)), 100)
    left.send_frame(0x10F, False, True, False, 4, b"", 100)
    for f in drain(right):
        print("  right got", show(f))

    print("\nA periodic task on left every 10 ms, data changed after 50 ms, stopped after 100 ms:")
    right.clear_filters()
    task = left.start_periodic([(0x123, False, False, False, 2, b"\x00\x01")], 10_000, None)
    time.sleep(0.055)
    left.modify_periodic(task, [(0x123, False, False, False, 2, b"\xff\xfe")])
    time.sleep(0.05)
    left.stop_periodic(task)
    frames = drain(right)
    for f in frames:
        print("  right got", show(f))
    gaps = [(b[0] - a[0]) / 1000 for a, b in zip(frames, frames[1:])]
    if gaps:
        print(f"  {len(frames)} frames, spacing {min(gaps):.2f} to {max(gaps):.2f} ms")

    left.stop_all_periodic()
    right.stop_all_periodic()
    for dev in (left, right):
        dev.set_bus_state(False)
    print("\nBoth adapters off the bus; released.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
