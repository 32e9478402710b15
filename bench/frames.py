"""send_frame and receive_frame against pyusb on the simulated adapter, and send scaling.

Run: ./run bench frames
"""

from __future__ import annotations

import struct
import threading
import time

from common import SIM, alternate, per_call_us, pyusb_device, rx_record, table

import vorel_pythoncan_ext as vorel

RUNS = 11
CALLS = 20000
RECORD = bytes([0, 2, 0, 1]) + struct.pack("<I", 0x123) + b"\xaa\xbb" + bytes(6)


def decode_two(buf: bytes):
    """What a pure-Python driver does with one read: split and decode up to two records."""
    frames = []
    for off in range(0, len(buf) - 23, 24):
        dlc, flags = buf[off + 1], buf[off + 2]
        (word,) = struct.unpack_from("<I", buf, off + 4)
        (ts,) = struct.unpack_from("<Q", buf, off + 16)
        ext = bool(flags & 4 or word & 0x80000000)
        dlc = min(dlc, 8)
        frames.append((ts, word & (0x1FFFFFFF if ext else 0x7FF), ext, bool(flags & 2 or word & 0x40000000),
                       bool(flags & 8 or word & 0x20000000), dlc, bytes(buf[off + 8 : off + 8 + dlc])))
    return frames


def one_way_cases(calls: int):
    """Three fresh adapters (the module sends on a sink and receives on another; pyusb has a sink
    of its own) and the four ways in and out, each timed over `calls` frames: (cases, pyusb device)."""
    SIM.reset()
    SIM.enable_log(False)
    a, b, c = (SIM.add_adapter(f"VOR.EL:CANH000{i}") for i in (1, 2, 3))
    SIM.set_sink(a)
    SIM.set_sink(c)
    for i in (b, c):
        SIM.set_rx_queue(i, calls + 16)  # every injected record fits the adapter's queue
    dev = vorel.NativeVorelDevice("VOR.EL:CANH0001")
    rx = vorel.NativeVorelDevice("VOR.EL:CANH0002")
    pdev = pyusb_device(c)
    send = lambda: dev.send_frame(0x123, False, False, False, 2, b"\xaa\xbb", 100)  # noqa: E731
    pywrite = lambda: pdev.write(0x02, RECORD, 100)  # noqa: E731

    def module_recv() -> float:
        SIM.inject_rx(b, rx_record(0x123, b"\xaa\xbb") * calls)
        return per_call_us(lambda: rx.receive_frame(100), calls)

    def pyusb_recv() -> float:
        SIM.inject_rx(c, rx_record(0x123, b"\xaa\xbb") * calls)
        us = per_call_us(lambda: decode_two(bytes(pdev.read(0x81, 64, 100))), calls // 2)
        return us / 2  # two frames per read

    cases = {
        "send_frame": lambda: per_call_us(send, calls),
        "pyusb write": lambda: per_call_us(pywrite, calls // 4),
        "receive_frame": module_recv,
        "pyusb read + decode": pyusb_recv,
    }
    return cases, dev, pdev


def main() -> None:
    cases, dev, pdev = one_way_cases(CALLS)
    res = alternate(cases, RUNS)

    def timed_threads(n: int, calls_per_thread: int, work) -> float:
        """Calls per second of `n` threads each running `work(calls_per_thread)`, started together."""
        barrier = threading.Barrier(n + 1)

        def body():
            run = work()
            barrier.wait()
            run(calls_per_thread)

        ts = [threading.Thread(target=body) for _ in range(n)]
        for t in ts:
            t.start()
        barrier.wait()
        t0 = time.perf_counter()
        for t in ts:
            t.join()
        return n * calls_per_thread / (time.perf_counter() - t0)

    def sender():
        # Each thread its own bound method and data: the threads share the device object and
        # nothing else, so what is measured is the module, not refcount traffic on shared
        # Python objects.
        f, data = dev.send_frame, bytes([0xAA, 0xBB])

        def run(calls: int) -> None:
            for _ in range(calls):
                f(0x123, False, False, False, 2, data, 100)

        return run

    def counter():
        """A loop that touches nothing shared: the machine's own two-thread ceiling."""

        def run(calls: int) -> None:
            x = 0
            for i in range(calls):
                x += i

        return run

    threaded = lambda n: timed_threads(n, 400000, sender)  # noqa: E731
    pure_python = lambda n: timed_threads(n, 2_000_000, counter)  # noqa: E731

    scale = alternate(
        {
            "1 thread": lambda: threaded(1),
            "2 threads": lambda: threaded(2),
            "loop 1": lambda: pure_python(1),
            "loop 2": lambda: pure_python(2),
        },
        RUNS,
    )
    rows = [
        ("send_frame", f"{res['send_frame']:.2f} us/frame"),
        ("pyusb dev.write", f"{res['pyusb write']:.2f} us/frame"),
        ("  ratio", f"{res['send_frame'] / res['pyusb write']:.3f} (goal <= 0.1)"),
        ("receive_frame (2 records/read)", f"{res['receive_frame']:.2f} us/frame"),
        ("pyusb dev.read + decode", f"{res['pyusb read + decode']:.2f} us/frame"),
        ("  ratio", f"{res['receive_frame'] / res['pyusb read + decode']:.3f} (goal <= 0.1)"),
        ("send_frame, 1 thread", f"{scale['1 thread']:,.0f} calls/s (goal >= 210,000)"),
        ("send_frame, 2 threads", f"{scale['2 threads']:,.0f} calls/s"),
        ("  scaling", f"{scale['2 threads'] / scale['1 thread']:.2f}x (goal >= 1.7x)"),
        ("pure-Python loop scaling", f"{scale['loop 2'] / scale['loop 1']:.2f}x (this machine's ceiling)"),
    ]
    print(table(rows, f"Frames (median of {RUNS} alternating runs)"))
    import usb.util

    usb.util.dispose_resources(pdev)


if __name__ == "__main__":
    main()
