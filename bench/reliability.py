"""Stop latency, the long storm, and growth under 10^6 calls per method.

Run: ./run bench reliability   (about 6 minutes; VOREL_STORM_SECONDS and VOREL_GROWTH_CALLS shorten it)
"""

from __future__ import annotations

import gc
import os
import resource
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))

from common import SIM, rx_record, table  # noqa: E402
from storm_run import run_storm  # noqa: E402

import vorel_pythoncan_ext as vorel  # noqa: E402

FRAME = [(0x10, False, False, False, 1, b"\x01")]


def rss_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def stop_latency() -> list[tuple[str, str]]:
    SIM.reset()
    SIM.add_adapter()
    SIM.set_sink(0)
    dev = vorel.NativeVorelDevice(None)
    rows = []
    for label, period in (("1 ms", 1000), ("1 s", 1_000_000), ("2**63 us", 2**63)):
        samples = []
        for _ in range(20):
            tid = dev.start_periodic(FRAME, period, None)
            time.sleep(0.02)
            t0 = time.perf_counter()
            dev.stop_periodic(tid)
            samples.append((time.perf_counter() - t0) * 1e6)
        rows.append((f"stop_periodic, period {label}",
                     f"median {statistics.median(samples):7.1f} us   max {max(samples):7.1f} us   (20 stops)"))
    del dev
    return rows


def storm(seconds: float) -> list[tuple[str, str]]:
    SIM.reset()
    SIM.add_adapters(2)
    r = run_storm(SIM, seconds, unplug_after=seconds * 0.8)
    gc.collect()
    ops = sum(r.operations.values())
    return [
        ("storm length", f"{r.seconds:.0f} s, 8 threads, two device objects, adapter B unplugged at {seconds * 0.8:.0f} s"),
        ("operations", f"{ops:,} completed ({ops / r.seconds:,.0f}/s), {sum(r.errors.values()):,} raised as expected"),
        ("frames B -> A", f"{r.sent_to_a:,} sent, {r.delivered_to_a:,} reached A's adapter, {r.received_by_a:,} returned, "
                          f"{r.duplicates} twice, {r.delivered_to_a - r.received_by_a} lost"),
        ("  not reaching A", f"{SIM.state(0).rx_overflows:,} frames (all kinds) found A's own receive queue full; the "
                             f"rest were still queued in B when it was unplugged"),
        ("stuck calls, unexpected errors", f"{len(r.stuck)}, {len(r.unexpected)}"),
        ("left open afterwards", str(SIM.counters())),
    ]


def growth(calls: int) -> list[tuple[str, str]]:
    SIM.reset()
    SIM.enable_log(False)
    SIM.add_adapters(2)
    SIM.set_sink(0)
    dev = vorel.NativeVorelDevice("VOR.EL:CANH0001")
    methods = {
        "send_frame": lambda: dev.send_frame(0x123, False, False, False, 2, b"\xaa\xbb", 100),
        "send_frame (argument error)": lambda: dev.send_frame(0x123, 1, False, False, 2, b"", 100),
        "receive_frame (time-out)": lambda: dev.receive_frame(1),
        "get_bus_state": dev.get_bus_state,
        "set_led_mode + get_led_mode": lambda: (dev.set_led_mode(1), dev.get_led_mode()),
        "get_device_capabilities": dev.get_device_capabilities,
        "get_device_info": dev.get_device_info,
        "set_filters + clear_filters": lambda: (dev.set_filters([(1, 0x7FF, False)]), dev.clear_filters()),
        "set_device_name (too long)": lambda: dev.set_device_name("x" * 16),
        "stop_periodic (unknown id)": lambda: dev.stop_periodic(99),
        "set_bitrate": lambda: dev.set_bitrate(500000, 875),
        "set_bus_state": lambda: dev.set_bus_state(True),
        "set_mode + flush_tx_queue": lambda: (dev.set_mode(0), dev.flush_tx_queue()),
        "get_device_name": dev.get_device_name,
        "start + modify + stop periodic": lambda: dev.stop_periodic(
            (lambda t: (dev.modify_periodic(t, FRAME), t)[1])(dev.start_periodic(FRAME, 10**6, 0))),
        "list_devices": vorel.list_devices,
        "open_by_name (no match)": lambda: vorel.NativeVorelDevice.open_by_name("nobody"),
    }
    rows = []
    for name, fn in methods.items():
        # each time-out waits 1 ms; a periodic start creates a thread
        n = calls // 100 if "receive" in name else calls // 10 if "periodic" in name else calls
        samples = []
        blocks0 = sys.getallocatedblocks()
        for i in range(n):
            try:
                fn()
            except (RuntimeError, TypeError):
                pass
            if i % max(1, n // 10) == 0:
                samples.append(rss_kb())
        gc.collect()
        slope = (samples[-1] - samples[1]) / max(1, n) * 1000 if len(samples) > 2 else 0.0
        rows.append((name, f"{n:>9,} calls   RSS {samples[1]:,} -> {samples[-1]:,} kB ({slope:+.3f} kB per 1000 calls after "
                           f"warm-up)   blocks {sys.getallocatedblocks() - blocks0:+d}"))
    del dev, methods  # the bound methods hold the device too
    gc.collect()
    t0 = time.perf_counter()
    start = rss_kb()
    opens = max(1, calls // 10)
    for _ in range(opens):
        vorel.NativeVorelDevice("VOR.EL:CANH0002")
    gc.collect()
    rows.append(("open + release", f"{opens:>9,} times   RSS {start:,} -> {rss_kb():,} kB   {SIM.counters()}   "
                                   f"{(time.perf_counter() - t0) / opens * 1e6:.0f} us each"))
    return rows


def main() -> None:
    print(table(stop_latency(), "Stop latency"))
    print()
    print(table(storm(float(os.environ.get("VOREL_STORM_SECONDS", "120"))), "Storm"))
    print()
    print(table(growth(int(os.environ.get("VOREL_GROWTH_CALLS", "1000000"))), "Growth"))


if __name__ == "__main__":
    main()
