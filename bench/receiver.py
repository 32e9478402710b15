"""Receiving under load: frames lost by a consumer that pauses, the USB round trip's ceiling,
bus-to-recv latency, an idle receiver's CPU, timestamps against the host clock, throughput.

Run: ./run bench receiver     (VOREL_BENCH_MINUTES sets the timestamp run, default 10)
"""

from __future__ import annotations

import os
import statistics
import struct
import threading
import time

from common import SIM, pyusb_device, table
from plugin import PyusbBus

import vorel_pythoncan_ext as vorel
from can import Message
from can_vorel import VorelBus

A, B, C = "VOR.EL:CANH0001", "VOR.EL:CANH0002", "VOR.EL:CANH0003"
MINUTES = float(os.environ.get("VOREL_BENCH_MINUTES", "10"))


def seq_of(m: Message) -> int:
    return struct.unpack("<Q", bytes(m.data).ljust(8, b"\0"))[0] if m.dlc == 8 else m.arbitration_id


def fresh(adapters: int = 2) -> None:
    SIM.reset()
    SIM.enable_log(False)
    SIM.add_adapters(adapters)


def configured(serial: str) -> None:
    """Adapter `serial` at 1 Mbit/s and on, left so for a bus that does not configure it."""
    d = vorel.NativeVorelDevice(serial)
    d.set_bitrate(1000000, 875)
    d.set_bus_state(True)
    del d


def open_bus(kind: str):
    if kind == "pyusb":
        configured(B)
        return PyusbBus(pyusb_device(1))
    return VorelBus(B, bitrate=1000000, rx_queue_size=0 if kind == "VorelBus rx_queue_size=0" else 65536)


def loss(kind: str, pause: float, load: str = "8", latency_us: int = 0) -> tuple[int, int, float]:
    """Frames lost, frames received, and frames/s received, by a consumer that reads for 0.5 s,
    pauses, then reads until it has caught up, on a bus filled by the load node."""
    fresh()
    configured(A)
    SIM.set_usb_latency(1, latency_us)
    bus = open_bus(kind)
    try:
        SIM.add_load(0, 100, load)
        got = []
        t0 = time.monotonic()
        end = t0 + 0.5
        while time.monotonic() < end:
            if (m := bus.recv(0.1)) is not None:
                got.append(seq_of(m))
        time.sleep(pause)
        end = time.monotonic() + max(2.0, 3 * pause)
        while time.monotonic() < end:
            if (m := bus.recv(0.1)) is not None:
                got.append(seq_of(m))
        rate = len(got) / (time.monotonic() - t0)
    finally:
        bus.shutdown()
    if load == "8":
        lost = got[-1] - got[0] + 1 - len(got)
    else:  # 0-byte frames count in the identifier, mod 2048
        lost = sum((b - a - 1) % 2048 for a, b in zip(got, got[1:]))
    return lost, len(got), rate


def latency(receiver: bool) -> tuple[float, float]:
    """send on A, recv on B: µs from the send call to the message, the wire time (47 µs) included."""
    fresh()
    with VorelBus(A, bitrate=1000000) as a, VorelBus(B, bitrate=1000000, rx_queue_size=65536 if receiver else 0) as b:
        out = []
        msg = Message(arbitration_id=0x10, is_extended_id=False)
        for i in range(3000):
            t0 = time.perf_counter()
            a.send(msg)
            b.recv(1.0)
            out.append((time.perf_counter() - t0) * 1e6)
            if i % 3 == 0:
                time.sleep(0.0005)
    out.sort()
    return out[len(out) // 2], out[int(len(out) * 0.99)]


def idle_cpu() -> float:
    fresh()
    with VorelBus(B):
        time.sleep(0.2)
        c0, t0 = time.process_time(), time.monotonic()
        time.sleep(5)
        return (time.process_time() - c0) / (time.monotonic() - t0) * 100


def timestamps(minutes: float) -> list[tuple[str, str]]:
    """Two receivers at +500 and -500 ppm on a bus with 20 % load for `minutes`: how far each
    message's timestamp lies before the moment recv handed it out (time.time()), per minute."""
    fresh(3)
    configured(A)
    SIM.set_drift(1, 500)
    SIM.set_drift(2, -500)
    rows = []
    buses = [VorelBus(B, bitrate=1000000), VorelBus(C, bitrate=1000000)]
    SIM.add_load(0, 20, "8")
    errors: list[list[float]] = [[], []]
    stop = threading.Event()

    def consume(k: int) -> None:
        while not stop.is_set():
            m = buses[k].recv(0.1)
            now = time.time()
            if m is not None:
                errors[k].append(now - m.timestamp)

    threads = [threading.Thread(target=consume, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    end = time.monotonic() + minutes * 60
    minute = 0
    while time.monotonic() < end:
        time.sleep(min(60, end - time.monotonic()))
        minute += 1
        cells = []
        for k in range(2):
            e = sorted(errors[k])
            errors[k].clear()
            if e:
                cells.append(f"p50 {e[len(e) // 2] * 1e6:6.0f} µs, p99 {e[int(len(e) * 0.99)] * 1e6:6.0f} µs, "
                             f"min {e[0] * 1e6:5.0f} µs")
        rows.append((f"minute {minute}: +500 ppm | -500 ppm", "  |  ".join(cells)))
    stop.set()
    for t in threads:
        t.join()
    for bus in buses:
        bus.shutdown()
    return rows


def throughput(kind: str, n: int = 30000) -> float:
    """recv() calls per second with the frames already queued in the adapter."""
    fresh()
    SIM.set_rx_queue(1, n + 10)
    bus = open_bus(kind)
    try:
        for i in range(n):
            SIM.inject_frame(1, 0x100, 0, 8, struct.pack("<Q", i))
        time.sleep(0.3)
        got = 0
        t0 = time.perf_counter()
        while got < n and bus.recv(0.05) is not None:
            got += 1
        return got / (time.perf_counter() - t0)
    finally:
        bus.shutdown()


def main() -> None:
    kinds = ["pyusb", "VorelBus rx_queue_size=0", "VorelBus"]
    rows = []
    for pause in (0.01, 0.1, 1.0):
        cells = []
        for kind in kinds:
            lost, got, _ = loss(kind, pause)
            cells.append(f"{lost:6d} of {got + lost:6d}")
        rows.append((f"pause {pause * 1000:5.0f} ms: lost by {' | '.join(kinds)}", " | ".join(cells)))
    print(table(rows, "Frames lost at 100 % of 1 Mbit/s, 8-byte frames, firmware queue 64"))
    print()
    rows = []
    for load, latency_us in (("8", 125), ("8", 1000), ("0", 0), ("0", 125)):
        lost, got, rate = loss("VorelBus", 0.0, load, latency_us)
        rows.append((f"{load}-byte frames, USB latency {latency_us:4d} µs", f"{rate:7.0f} frames/s received, {lost} lost"))
    print(table(rows, "The USB round trip's ceiling (two records a read), VorelBus, 100 % load"))
    print()
    rows = []
    for receiver in (False, True):
        p50, p99 = latency(receiver)
        rows.append(("with the receiver" if receiver else "rx_queue_size=0", f"p50 {p50:6.1f} µs, p99 {p99:6.1f} µs"))
    rows.append(("idle receiver, CPU", f"{idle_cpu():.2f} % of a core"))
    print(table(rows, "send on one adapter to recv on the other (47 µs on the wire)"))
    print()
    rows = [(kind, f"{throughput(kind):9.0f} recv/s") for kind in kinds]
    print(table(rows, "Receive throughput, frames already queued"))
    print()
    print(table(timestamps(MINUTES), f"Timestamps against the host clock, {MINUTES:g} min at 20 % load"))


if __name__ == "__main__":
    main()
