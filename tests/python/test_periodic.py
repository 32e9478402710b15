"""Periodic tasks through the module: ids, errors, rotation, duration, stops, ownership at release."""

from __future__ import annotations

import gc
import time

import pytest

from conftest import bulk_out, logs_timeouts


def frame(i, data=b""):
    return (i, False, False, False, len(data), data)


def sent_ids(sim):
    return [t.data[4] for t in bulk_out(sim)]


def wait_for(sim, n, limit=5.0):
    t0 = time.monotonic()
    while len(bulk_out(sim)) < n and time.monotonic() - t0 < limit:
        time.sleep(0.002)
    return bulk_out(sim)


def test_ids_and_errors(dev):
    assert dev.start_periodic([frame(1)], 1_000_000, None) == 1
    assert dev.start_periodic([frame(1)], 1_000_000, None) == 2
    with pytest.raises(RuntimeError, match=r"^No frames to send$"):
        dev.start_periodic([], 1000, None)
    dev.stop_periodic(1)
    assert dev.start_periodic([frame(1)], 1_000_000, None) == 3
    with pytest.raises(RuntimeError) as info:
        dev.stop_periodic(1)
    assert str(info.value) == "No periodic task with id 1"
    with pytest.raises(RuntimeError) as info:
        dev.modify_periodic(99, [frame(1)])
    assert str(info.value) == "No periodic task with id 99"
    with pytest.raises(TypeError):
        dev.start_periodic([frame(1)], 1000)  # duration_ms must be passed, even as None
    dev.stop_all_periodic()
    with pytest.raises(RuntimeError, match="No periodic task with id 2"):
        dev.stop_periodic(2)
    dev.stop_all_periodic()  # an empty registry is no error


def test_rotation_and_hot_swap(sim, dev):
    sim.set_sink(0)
    tid = dev.start_periodic([frame(0xF0), frame(0xF1), frame(0xF2)], 100_000, None)
    wait_for(sim, 2)
    dev.modify_periodic(tid, [frame(0xA0), frame(0xA1)])
    sent = wait_for(sim, 4)
    dev.stop_periodic(tid)
    assert [t.data[4] for t in sent[:4]] == [0xF0, 0xF1, 0xA0, 0xA1]
    assert all(t.timeout_ms == 50 for t in sent) or not logs_timeouts(sim)
    assert sent[0].data == bytes.fromhex("00000001f0000000") + bytes(8)


def test_schedule_has_no_drift(sim, dev):
    sim.set_sink(0)
    # The schedule starts no earlier than this. The first send is no anchor: on the emulated devices
    # a transfer is logged when the simulator gets to it, which may be late by a period or more.
    t0 = sim.now_ns()
    tid = dev.start_periodic([frame(1), frame(2)], 2000, None)
    sent = wait_for(sim, 201)
    dev.stop_periodic(tid)
    for i, t in enumerate(sent[:200]):
        assert t.t_ns + 200_000 >= t0 + i * 2_000_000, f"send {i} went out early"
        assert t.data[4] == 1 + i % 2
    # No drift: the 200th send is late by what one send may be late on a busy machine (10 ms, as
    # under the sanitizers), not by 199 sends' worth of accumulated lateness.
    assert sent[199].t_ns - t0 < 199 * 2_000_000 + 10_000_000


def test_duration(sim, dev):
    sim.set_sink(0)
    dev.start_periodic([frame(1)], 100_000, 1000)
    time.sleep(1.3)
    assert len(bulk_out(sim)) == 10
    sim.clear_log()
    tid = dev.start_periodic([frame(1)], 10_000, 0)
    time.sleep(0.05)
    assert bulk_out(sim) == []
    dev.stop_periodic(tid)  # still registered; its worker has ended


def test_period_zero_and_emptied_lists(sim, dev):
    sim.set_sink(0)
    tid = dev.start_periodic([frame(1)], 0, None)
    time.sleep(0.03)
    dev.stop_periodic(tid)
    # Back to back: a write costs microseconds in the drop-in, and a round trip through the
    # emulated device's socket (some 100 µs) otherwise.
    assert len(bulk_out(sim)) > (300 if sim.frontend == "dropin" else 30)
    sim.clear_log()
    tid = dev.start_periodic([frame(1)], 20_000, None)
    wait_for(sim, 1)
    dev.modify_periodic(tid, [])
    time.sleep(0.08)
    n = len(bulk_out(sim))
    time.sleep(0.05)
    assert len(bulk_out(sim)) == n
    t0 = time.monotonic()
    dev.stop_periodic(tid)
    assert time.monotonic() - t0 < 0.5


def test_stops_are_prompt_for_any_period(sim, dev):
    sim.set_sink(0)
    for period in (1000, 1_000_000, 2**63, 2**64 - 1):
        tid = dev.start_periodic([frame(1)], period, 2**64 - 1)
        wait_for(sim, 1)
        t0 = time.monotonic()
        dev.stop_periodic(tid)
        assert time.monotonic() - t0 < 0.5, period  # waiting out a period would take a second or more
    t0 = time.monotonic()
    for period in (1_000_000, 2_000_000, 3_000_000):
        dev.start_periodic([frame(1)], period, None)
    time.sleep(0.02)
    dev.stop_all_periodic()
    assert time.monotonic() - t0 < 0.5


def test_an_unplugged_adapter_keeps_the_worker_cycling(sim, dev):
    sim.set_sink(0)
    tid = dev.start_periodic([frame(1)], 5000, None)
    wait_for(sim, 2)
    sim.unplug(0)
    n = len(bulk_out(sim))
    time.sleep(0.05)
    assert len(bulk_out(sim)) > n + 3
    assert all(t.result == -4 for t in bulk_out(sim)[n + 1 :])
    dev.stop_periodic(tid)


def test_dropping_the_device_leaves_workers_running(sim):
    from vorel_pythoncan_ext import NativeVorelDevice

    sim.add_adapter()
    sim.set_sink(0)
    dev = NativeVorelDevice(None)
    dev.start_periodic([frame(1)], 5000, 300)
    del dev
    gc.collect()
    assert sim.wait_counters(handles=1)["handles"] == 1  # the worker holds the adapter open and keeps sending
    n = len(bulk_out(sim))
    time.sleep(0.05)
    assert len(bulk_out(sim)) > n
    time.sleep(0.4)  # its duration ends and it closes the adapter
    assert sim.wait_counters(handles=0)["handles"] == 0
    dev = NativeVorelDevice(None)
    dev.start_periodic([frame(1)], 5000, None)
    dev.stop_all_periodic()
    del dev
    assert sim.wait_counters(handles=0)["handles"] == 0
    # A worker whose next period lies beyond its duration (or never comes) ends with the duration.
    for period_us in (10_000_000, 2**64 - 1):
        dev = NativeVorelDevice(None)
        dev.start_periodic([frame(1)], period_us, 200)
        del dev
        gc.collect()
        t0 = time.monotonic()
        assert sim.wait_counters(timeout=5, handles=0)["handles"] == 0
        assert time.monotonic() - t0 < 1.0, period_us
