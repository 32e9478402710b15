"""A storm: 8 threads do everything at once on two device objects; one adapter is unplugged midway.

Used by test_storm.py (short) and bench/storm.py (long). A watchdog fails the run, with every
thread's stack, if any call outlives its bound.
"""

from __future__ import annotations

import faulthandler
import random
import struct
import sys
import threading
import time
from collections import Counter
from dataclasses import dataclass, field

from vorel_pythoncan_ext import NativeVorelDevice

CALL_BOUND_S = 5.0  # the longest any single call may take (control time-outs are 1 s)
ALWAYS = 0x100  # every filter set used on adapter A accepts this identifier
FILTERS_A = [[], [(ALWAYS, 0x7FF, False)], [(ALWAYS, 0x700, None), (0x42, 0x7FF, True)], [(0, 0, None)]]
FILTERS_B = [[], [(0x200, 0x7F0, False)], [(0x1234, 0x1FFFFFFF, True)], [(0x7FF, 0x7FF, None)]]


@dataclass
class Report:
    seconds: float = 0.0
    operations: Counter = field(default_factory=Counter)
    errors: Counter = field(default_factory=Counter)
    sent_to_a: int = 0
    received_by_a: int = 0
    delivered_to_a: int = 0
    duplicates: int = 0
    stuck: list = field(default_factory=list)
    unexpected: list = field(default_factory=list)


def run_storm(sim, seconds: float, unplug_after: float | None = None, threads: int = 8) -> Report:
    sim.set_tx_fifo(0, 64)
    sim.set_tx_fifo(1, 64)
    a = NativeVorelDevice("VOR.EL:CANH0001")
    b = NativeVorelDevice("VOR.EL:CANH0002")
    for d in (a, b):
        d.set_bitrate(1000000, 875)
        d.set_bus_state(True)
    sim.enable_log(False)
    report = Report()
    lock = threading.Lock()
    seen_by_a: set[tuple[int, int]] = set()
    in_call: dict[int, tuple[str, float]] = {}
    stop = threading.Event()
    barrier = threading.Barrier(threads + 1)
    unplugged = threading.Event()

    def call(name, fn):
        me = threading.get_ident()
        in_call[me] = (name, time.monotonic())
        try:
            fn()
            report.operations[name] += 1
        except RuntimeError as e:
            text = str(e)
            report.errors[name] += 1
            # Expected: a verified write whose read-back another thread's write overtook, a write
            # that found the FIFO full until its time-out, a task another thread's stop_all took
            # away, and anything on B after the unplug.
            expected = ("verification failed" in text or "Operation timed out" in text
                        or "No periodic task with id" in text
                        or (unplugged.is_set() and "No such device" in text))
            if not expected:
                report.unexpected.append(f"{name}: {text}")
        finally:
            in_call.pop(me, None)

    def receive(dev, mine):
        f = dev.receive_frame(20)
        if f is not None and mine:
            ts, arb, ext, rtr, err, dlc, data = f
            if arb == ALWAYS and not ext and dlc == 8:
                key = struct.unpack("<II", data)
                with lock:
                    if key in seen_by_a:
                        report.duplicates += 1
                    seen_by_a.add(key)
                    report.received_by_a += 1

    def worker(k: int) -> None:
        rng = random.Random(k)
        seq = 0
        barrier.wait()
        while not stop.is_set():
            op = rng.randrange(12)
            if op < 3:  # B sends to A: always-accepted frames with a unique (thread, seq)
                seq += 1
                data = struct.pack("<II", k, seq)

                def send_b(data=data):
                    b.send_frame(ALWAYS, False, False, False, 8, data, 200)
                    with lock:
                        report.sent_to_a += 1

                call("send:b", send_b)
            elif op < 5:
                call("recv:a", lambda: receive(a, True))
            elif op == 5:
                ident = rng.choice([0x200, 0x205, 0x1234, 0x7FF, 0x300])
                call("send:a", lambda: a.send_frame(ident, ident > 0x7FF, False, False, 2, b"\x01\x02", 200))
            elif op == 6:
                call("recv:b", lambda: receive(b, False))
            elif op == 7:
                call("filters:a", lambda: a.set_filters(rng.choice(FILTERS_A)))
                call("filters:b", lambda: b.set_filters(rng.choice(FILTERS_B)) if rng.random() < 0.8 else b.clear_filters())
            elif op == 8:
                dev = rng.choice((a, b))
                call("config", lambda: (dev.get_bus_state(), dev.get_led_mode(), dev.set_led_mode(rng.randrange(5)),
                                        dev.get_device_capabilities(), dev.get_device_name()))
            elif op == 9:
                def periodic():
                    t = b.start_periodic([(0x300, False, False, False, 1, bytes([k]))], rng.choice([500, 2000, 10**6]),
                                         rng.choice([None, 50]))
                    b.modify_periodic(t, [(0x301, False, False, False, 1, bytes([k]))])
                    if rng.random() < 0.5:
                        b.stop_periodic(t)

                call("start:b", periodic)
            elif op == 10:
                call("stop_all", b.stop_all_periodic)
            else:
                call("flush", lambda: a.flush_tx_queue() if rng.random() < 0.05 else a.get_device_info())

    def watchdog() -> None:
        while not stop.is_set():
            now = time.monotonic()
            for ident, (name, t0) in list(in_call.items()):
                if now - t0 > CALL_BOUND_S:
                    report.stuck.append((name, now - t0))
                    faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
                    stop.set()
            time.sleep(0.1)

    ts = [threading.Thread(target=worker, args=(k,), daemon=True) for k in range(threads)]
    dog = threading.Thread(target=watchdog, daemon=True)
    for t in ts:
        t.start()
    dog.start()
    barrier.wait()
    t0 = time.monotonic()
    while time.monotonic() - t0 < seconds and not stop.is_set():
        if unplug_after is not None and not unplugged.is_set() and time.monotonic() - t0 >= unplug_after:
            unplugged.set()
            sim.unplug(1)  # adapter B goes away mid-storm
        time.sleep(0.05)
    stop.set()
    for t in ts:
        t.join(CALL_BOUND_S * 2)
    report.seconds = time.monotonic() - t0
    report.stuck += [("join", 0.0) for t in ts if t.is_alive()]
    # What reached A's adapter but was not read yet is read now, with A's filters open.
    a.clear_filters()
    while (f := a.receive_frame(50)) is not None:
        if f[1] == ALWAYS and f[5] == 8:
            key = struct.unpack("<II", f[6])
            if key in seen_by_a:
                report.duplicates += 1
            seen_by_a.add(key)
            report.received_by_a += 1
    report.delivered_to_a = sim.received_with_id(0, ALWAYS)
    b.stop_all_periodic()
    a.stop_all_periodic()
    del a, b
    return report
