"""Hostile firmware and unplugged adapters: every method fails cleanly, nothing crashes or hangs."""

from __future__ import annotations

import gc
import random
import threading
import time

import pytest

import vorel_sim
from vorel_pythoncan_ext import NativeVorelDevice

CONFIG_CALLS = [
    ("set_bitrate", lambda d: d.set_bitrate(500000, 875)),
    ("set_bus_state", lambda d: d.set_bus_state(True)),
    ("set_mode", lambda d: d.set_mode(1)),
    ("get_bus_state", lambda d: d.get_bus_state()),
    ("flush_tx_queue", lambda d: d.flush_tx_queue()),
    ("set_led_mode", lambda d: d.set_led_mode(2)),
    ("get_led_mode", lambda d: d.get_led_mode()),
    ("get_device_name", lambda d: d.get_device_name()),
    ("set_device_name", lambda d: d.set_device_name("n1")),
    ("get_device_capabilities", lambda d: d.get_device_capabilities()),
    ("get_device_info", lambda d: d.get_device_info()),
]
NO_DEVICE = "No such device (it may have been disconnected)"
PREFIXES = {
    "set_bitrate": "Failed caps: ", "set_bus_state": "Bus err: ", "set_mode": "Mode err: ",
    "get_bus_state": "Get bus state err: ", "flush_tx_queue": "Flush TX err: ",
    "set_led_mode": "Failed to set LED mode: ", "get_led_mode": "Failed to get LED mode: ",
    "get_device_name": "Failed to get device name: ", "set_device_name": "Failed to set device name: ",
    "get_device_capabilities": "Failed caps: ", "get_device_info": "Device info err: ",
}


def test_hostile_firmware_answers(sim, dev):
    """10^5 random answers (lengths and bytes) across every request: results or RuntimeError only."""
    sim.set_hostile(0, 20261209)
    rng = random.Random(7)
    outcomes = {"ok": 0, "error": 0}
    for _ in range(100_000 // len(CONFIG_CALLS)):
        for name, call in rng.sample(CONFIG_CALLS, len(CONFIG_CALLS)):
            try:
                call(dev)
                outcomes["ok"] += 1
            except RuntimeError as e:
                assert str(e).startswith(PREFIXES[name]) or str(e) in (
                    "Invalid bit timing parameters",
                ) or str(e).startswith("Hardware constraint violated") or str(e).startswith(
                    ("Failed bt_const: ", "BT error: ")), str(e)
                outcomes["error"] += 1
    assert outcomes["ok"] > 0 and outcomes["error"] > 0
    sim.set_hostile(0, 0)
    assert dev.get_bus_state()[0] in range(0, 2**32)


@pytest.mark.parametrize("name,call", CONFIG_CALLS, ids=[c[0] for c in CONFIG_CALLS])
def test_unplugged_before_a_configuration_call(sim, dev, name, call):
    sim.unplug(0)
    with pytest.raises(RuntimeError) as info:
        call(dev)
    direction = "OUT" if name in ("set_bus_state", "set_mode", "flush_tx_queue", "set_led_mode", "set_device_name") else "IN"
    assert str(info.value) == f'{PREFIXES[name]}Usb("Control {direction} failed: {NO_DEVICE}")'
    with pytest.raises(RuntimeError):  # and later calls fail cleanly too
        call(dev)


def test_unplugged_during_blocked_transfers_and_after(sim, dev):
    errors = []

    def blocked_read():
        try:
            dev.receive_frame(0)  # no limit: only the unplug ends it
        except RuntimeError as e:
            errors.append(str(e))

    sim.set_tx_fifo(0, 0)  # and a write that can never drain

    def blocked_write():
        try:
            dev.send_frame(1, False, False, False, 0, b"", 0)
        except RuntimeError as e:
            errors.append(str(e))

    threads = [threading.Thread(target=blocked_read), threading.Thread(target=blocked_write)]
    for t in threads:
        t.start()
    time.sleep(0.1)
    sim.unplug(0)
    for t in threads:
        t.join(5)
        assert not t.is_alive()
    assert sorted(errors) == sorted([
        f"Receive err: USB error: Bulk read failed: {NO_DEVICE}",
        f'Send failed: Usb("Bulk write failed: {NO_DEVICE}")',
    ])
    task = dev.start_periodic([(1, False, False, False, 0, b"")], 1000, None)  # workers keep cycling
    time.sleep(0.02)
    dev.modify_periodic(task, [(2, False, False, False, 0, b"")])
    dev.stop_periodic(task)
    dev.set_filters([(1, 2, None)])
    dev.clear_filters()


def test_dropping_an_unplugged_device_releases_everything(sim):
    sim.add_adapter()
    before = sim.counters()
    d = NativeVorelDevice(None)
    d.start_periodic([(1, False, False, False, 0, b"")], 2000, None)
    sim.unplug(0)
    d.stop_all_periodic()
    del d
    gc.collect()
    assert sim.wait_counters(**before) == before
    with pytest.raises(RuntimeError, match="DeviceNotFound"):
        NativeVorelDevice(None)
