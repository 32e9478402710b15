"""Demo: two adapters talking through python-can (./run demo runs it on two simulated adapters)."""

from __future__ import annotations

import sys
import time

import can
from can import BusState, Message

from can_vorel import VorelBus


def gil_enabled() -> bool:
    """Whether this interpreter runs with the GIL (always, before 3.13)."""
    return bool(getattr(sys, "_is_gil_enabled", lambda: True)())


def show(msg: Message) -> str:
    ident = f"{msg.arbitration_id:08X}" if msg.is_extended_id else f"{msg.arbitration_id:03X}"
    kind = " remote" if msg.is_remote_frame else (" error" if msg.is_error_frame else "")
    stamp = time.strftime("%H:%M:%S", time.localtime(msg.timestamp)) + f".{int(msg.timestamp * 1e6) % 1000000:06d}"
    return f"{stamp}  {ident:>8}{kind:7}  [{msg.dlc}] {msg.data.hex(' ')}"


def drain(bus: can.BusABC, quiet: float = 0.05) -> list[Message]:
    """Every message until the bus has been quiet for `quiet` seconds."""
    out: list[Message] = []
    while (msg := bus.recv(quiet)) is not None:
        out.append(msg)
    return out


def main() -> int:
    configs = can.detect_available_configs("vorel")
    print(f"python-can {can.__version__} on Python {sys.version.split()[0]} (GIL enabled: {gil_enabled()})")
    print("Adapters found:", ", ".join(str(c["channel"]) for c in configs) or "none")
    if len(configs) < 2:
        print("This demo needs two adapters on one bus; ./run demo attaches two simulated ones.")
        return 1

    # Name the adapters once; afterwards they are opened by name.
    for config, name in zip(configs[:2], ("left", "right")):
        with can.Bus(interface="vorel", channel=config["channel"]) as bus:
            assert isinstance(bus, VorelBus)
            bus.device_name = name
            bus.led_mode = 2
            info = bus.versions
            print(f"  {bus.channel_info}: hardware {info['hardware']}, firmware {info['firmware']}, "
                  f"named {bus.device_name!r}, LED mode {bus.led_mode}")

    with can.Bus(interface="vorel", name="left", bitrate=500000) as left, \
            can.Bus(interface="vorel", name="right", bitrate=500000,
                    can_filters=[{"can_id": 0x100, "can_mask": 0x7F0, "extended": False},
                                 {"can_id": 0x18DAF110, "can_mask": 0x1FFFFFFF, "extended": True}]) as right:
        assert isinstance(left, VorelBus) and isinstance(right, VorelBus)
        print(f"\nOpened by name at 500 kbit/s; left is {left.state.name.lower()}, "
              f"error counters (tx, rx) {left.error_counters()}")

        print("\nleft sends four frames; right only takes 0x100-0x10F and extended 0x18DAF110:")
        left.send(Message(arbitration_id=0x101, data=[0x11, 0x22], is_extended_id=False))
        left.send(Message(arbitration_id=0x200, data=[0x33], is_extended_id=False))
        left.send(Message(arbitration_id=0x18DAF110, data=bytes(range(8)), is_extended_id=True))
        left.send(Message(arbitration_id=0x10F, is_remote_frame=True, dlc=4, is_extended_id=False))
        for msg in drain(right):
            print("  right got", show(msg))

        print("\nA periodic message from left every 10 ms; its data changes after 50 ms; stopped after 100 ms:")
        right.set_filters(None)
        task = left.send_periodic(Message(arbitration_id=0x123, data=[0, 1], is_extended_id=False), 0.010)
        time.sleep(0.055)
        assert isinstance(task, can.ModifiableCyclicTaskABC)
        task.modify_data(Message(arbitration_id=0x123, data=[0xFF, 0xFE], is_extended_id=False))
        time.sleep(0.050)
        task.stop()
        got = drain(right)
        for msg in got:
            print("  right got", show(msg))
        gaps = [(b.timestamp - a.timestamp) * 1000 for a, b in zip(got, got[1:])]
        if gaps:
            print(f"  {len(got)} messages, {min(gaps):.2f} to {max(gaps):.2f} ms apart")

        print(f"\nright's controller is {right.state.name.lower()}; right goes listen-only (BusState.PASSIVE).")
        right.state = BusState.PASSIVE
        left.send(Message(arbitration_id=0x101, data=[1], is_extended_id=False))
        heard = drain(right)
        print(f"In listen-only mode right still hears the bus ({len(heard)} message) but sends no ACKs or frames.")
    print("\nBoth buses shut down: tasks stopped, adapters off the bus and released.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
