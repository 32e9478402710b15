"""Receiving under load: frames lost at full load by reads in flight and USB timing, the
receiver's CPU, four adapters at once, frames lost by a consumer that pauses, bus-to-recv latency,
timestamps against the host clock, throughput.

Run: ./run bench receiver     (VOREL_BENCH_MINUTES sets the timestamp run, default 10;
                               VOREL_BENCH_SECONDS each full-load run, default 2)
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
SECONDS = float(os.environ.get("VOREL_BENCH_SECONDS", "2"))

# USB timing rows: (name, latency us, jitter us, frame us).
USB_ROWS = [
    ("latency 0", 0, 0, 0),
    ("125 us", 125, 0, 0),
    ("1 ms + 200 us jitter", 1000, 200, 0),
    ("1 ms frames + 200 us jitter", 1000, 200, 1000),
]


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


def loss(kind: str, pause: float, load: str = "8") -> tuple[int, int, float]:
    """Frames lost, frames received, and frames/s received, by a consumer that reads for 0.5 s,
    pauses, then reads until it has caught up, on a bus filled by the load node."""
    fresh()
    configured(A)
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
    return lost_in(got, load), len(got), rate


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
        # Full-speed USB takes 0.75 s to carry them (two records per 50 us): the receiver's
        # figure is for frames it holds already.
        end = time.monotonic() + 5
        while kind == "VorelBus" and bus.rx_stats()["received"] < n and time.monotonic() < end:
            time.sleep(0.05)
        time.sleep(0.3)
        got = 0
        t0 = time.perf_counter()
        while got < n and bus.recv(0.05) is not None:
            got += 1
        return got / (time.perf_counter() - t0)
    finally:
        bus.shutdown()


def set_usb(adapter: int, latency_us: int, jitter_us: int, frame_us: int) -> None:
    SIM.set_usb_latency(adapter, latency_us, jitter_us)
    SIM.set_usb_frame(adapter, frame_us)


def receiver_cpu_ns() -> int:
    """CPU time of the module's receiver threads in this process so far (ns, from schedstat)."""
    total = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().strip() != "vorel-receive":
                    continue
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            continue
    return total


def lost_in(seqs: list[int], frames: str) -> int:
    if len(seqs) < 2:
        return 0
    if frames == "8":
        return seqs[-1] - seqs[0] + 1 - len(seqs)
    return sum((b - a - 1) % 2048 for a, b in zip(seqs, seqs[1:]))


def full_load(frames: str, transfers: int, usb: tuple[str, int, int, int],
              seconds: float = SECONDS) -> tuple[int, int, float]:
    """Frames lost and received, and the receiver's CPU in % of a core, while a prompt consumer
    reads a full 1 Mbit/s bus for `seconds`; the receiving adapter's firmware queue holds 64."""
    fresh()
    configured(A)
    set_usb(1, *usb[1:])
    with VorelBus(B, bitrate=1000000, rx_transfers=transfers) as bus:
        SIM.add_load(0, 100, frames)
        first = bus.recv(1.0)
        seqs = [seq_of(first)] if first is not None else []
        c0, t0 = receiver_cpu_ns(), time.monotonic()
        end = t0 + seconds
        while time.monotonic() < end:
            if (m := bus.recv(0.1)) is not None and not m.is_error_frame:
                seqs.append(seq_of(m))
        cpu = (receiver_cpu_ns() - c0) / 1e9 / (time.monotonic() - t0) * 100
    return lost_in(seqs, frames), len(seqs), cpu


def loss_table() -> str:
    out = []
    for frames, rate in (("8", "8,900"), ("0", "21,300")):
        rows = []
        for usb in USB_ROWS:
            cells = []
            for n in (1, 8, 16, 32, 64):
                lost, got, _ = full_load(frames, n, usb)
                cells.append(f"{100 * lost / max(1, lost + got):5.1f} %")
            rows.append((usb[0], " | ".join(cells)))
        out.append(table(rows, f"Frames lost at 100 % of 1 Mbit/s, {frames}-byte frames ({rate}/s), "
                               "firmware queue 64, rx_transfers 1 | 8 | 16 | 32 | 64"))
    return "\n\n".join(out)


def cpu_table() -> str:
    rows = []
    for usb in USB_ROWS:
        lost, got, cpu = full_load("0", 64, usb)
        rows.append((f"21,300 frames/s, {usb[0]}", f"{cpu:5.2f} % of a core ({lost} lost of {lost + got})"))
    fresh()
    with VorelBus(B):
        time.sleep(0.2)
        c0, t0 = receiver_cpu_ns(), time.monotonic()
        time.sleep(5)
        rows.append(("idle", f"{(receiver_cpu_ns() - c0) / 1e9 / (time.monotonic() - t0) * 100:5.2f} % of a core"))
    return table(rows, "CPU of the receiver thread, rx_transfers 64 (the default)")


def four_adapters(seconds: float = SECONDS) -> str:
    """Four adapters on buses of their own, each full of 0-byte frames with 1 ms frame-aligned
    completions, received by four threads of one process."""
    SIM.reset()
    SIM.enable_log(False)
    serials = [f"VOR.EL:CANH{i + 1:04d}" for i in range(4)]
    for s in serials:
        SIM.add_adapter(s)
    for i in range(4):
        set_usb(i, 1000, 200, 1000)
    buses = [VorelBus(s, bitrate=1000000) for s in serials]
    got: list[list[int]] = [[] for _ in buses]
    stop = threading.Event()

    def consume(k: int) -> None:
        while not stop.is_set():
            if (m := buses[k].recv(0.1)) is not None and not m.is_error_frame:
                got[k].append(m.arbitration_id)

    threads = [threading.Thread(target=consume, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for i in range(4):
        SIM.add_load(i, 100, "0")
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    lost = [lost_in(g, "0") + SIM.state(i).rx_overflows for i, g in enumerate(got)]
    for b in buses:
        b.shutdown()
    total = sum(len(g) for g in got)
    return table([("four adapters, 0-byte frames at 100 %, 1 ms frames + 200 us jitter",
                   f"{total} frames received in {seconds:g} s, lost per adapter: {lost}")],
                 "Four adapters in one process")


def main() -> None:
    print(loss_table())
    print()
    print(cpu_table())
    print()
    print(four_adapters())
    print()
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
    for receiver in (False, True):
        p50, p99 = latency(receiver)
        rows.append(("with the receiver" if receiver else "rx_queue_size=0", f"p50 {p50:6.1f} µs, p99 {p99:6.1f} µs"))
    print(table(rows, "send on one adapter to recv on the other (47 µs on the wire)"))
    print()
    rows = [(kind, f"{throughput(kind):9.0f} recv/s") for kind in kinds]
    print(table(rows, "Receive throughput, frames already queued"))
    print()
    print(table(timestamps(MINUTES), f"Timestamps against the host clock, {MINUTES:g} min at 20 % load"))


if __name__ == "__main__":
    main()
