"""VorelBus against a pure-Python bus over pyusb and against the raw module calls, and periodic
sends through python-can.

Run: ./run bench plugin
"""

from __future__ import annotations

import os
import struct
import threading
import time
from typing import Optional

import can
from can import Message
from can.broadcastmanager import ThreadBasedCyclicSendTask
from common import SIM, alternate, per_call_us, pyusb_device, rx_record, table

import vorel_pythoncan_ext as vorel
from can_vorel import VorelBus

RUNS = 11
CALLS = 10000
SECONDS = float(os.environ.get("VOREL_BENCH_SECONDS", "5"))


class PyusbBus(can.BusABC):
    """What a pure-Python driver does: the same 16- and 24-byte records over pyusb."""

    def __init__(self, dev) -> None:  # type: ignore[no-untyped-def]
        self.dev = dev
        self.channel_info = "pyusb"
        self._pending: list[Message] = []
        super().__init__(channel="pyusb")

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        word = msg.arbitration_id & (0x1FFFFFFF if msg.is_extended_id else 0x7FF)
        flags = 0
        if msg.is_extended_id:
            word |= 0x80000000
            flags |= 4
        if msg.is_remote_frame:
            word |= 0x40000000
            flags |= 2
        data = b"" if msg.is_remote_frame else bytes(msg.data[:8])
        record = bytes([0, msg.dlc, flags, 1]) + struct.pack("<I", word) + data.ljust(8, b"\0")
        self.dev.write(0x02, record, int((timeout or 0) * 1000) or 100)

    def _recv_internal(self, timeout: Optional[float]):  # type: ignore[no-untyped-def]
        if not self._pending:
            buf = bytes(self.dev.read(0x81, 64, max(1, int((timeout or 0.1) * 1000))))
            for off in range(0, len(buf) - 23, 24):
                dlc, flags = min(buf[off + 1], 8), buf[off + 2]
                (word,) = struct.unpack_from("<I", buf, off + 4)
                (ts,) = struct.unpack_from("<Q", buf, off + 16)
                ext = bool(flags & 4 or word & 0x80000000)
                self._pending.append(Message(timestamp=ts / 1e6, arbitration_id=word & (0x1FFFFFFF if ext else 0x7FF),
                                             is_extended_id=ext, is_remote_frame=bool(flags & 2 or word & 0x40000000),
                                             dlc=dlc, data=buf[off + 8 : off + 8 + dlc], is_rx=True, check=False))
        return (self._pending.pop(0) if self._pending else None), False


def lateness_p(writes: list[int], period_ns: int) -> tuple[float, float]:
    t0 = writes[0]
    late = sorted((t - t0 - i * period_ns) / 1000 for i, t in enumerate(writes))
    return late[len(late) // 2], late[int(len(late) * 0.99)]


def main() -> None:
    SIM.reset()
    SIM.enable_log(False)
    a, b, c = (SIM.add_adapter(f"VOR.EL:CANH000{i}") for i in (1, 2, 3))
    for i in (a, c):
        SIM.set_sink(i)
    for i in (b, c):
        SIM.set_rx_queue(i, CALLS + 16)  # every injected record fits the adapter's queue
    tx = VorelBus("VOR.EL:CANH0001")
    pybus = PyusbBus(pyusb_device(c))
    msg = Message(arbitration_id=0x123, data=[0xAA, 0xBB], is_extended_id=False)
    raw_send = lambda: tx._dev.send_frame(0x123, False, False, False, 2, b"\xaa\xbb", 100)  # noqa: E731

    def recv_case(fn, adapter: int) -> float:  # type: ignore[no-untyped-def]
        SIM.inject_rx(adapter, rx_record(0x123, b"\xaa\xbb") * CALLS)
        return per_call_us(fn, CALLS)

    # The raw receive case reads through the receiving bus's own device object.
    rx_bus = VorelBus("VOR.EL:CANH0002")
    raw_recv_dev = rx_bus._dev
    res = alternate(
        {
            "VorelBus.send": lambda: per_call_us(lambda: tx.send(msg), CALLS),
            "raw send_frame": lambda: per_call_us(raw_send, CALLS),
            "pyusb bus send": lambda: per_call_us(lambda: pybus.send(msg), CALLS // 4),
            "VorelBus.recv": lambda: recv_case(lambda: rx_bus.recv(0.1), b),
            "raw receive_frame": lambda: recv_case(lambda: raw_recv_dev.receive_frame(100), b),
            "pyusb bus recv": lambda: recv_case(lambda: pybus.recv(0.1), c),
        },
        RUNS,
    )
    rows = [
        ("VorelBus.send", f"{res['VorelBus.send']:.2f} us"),
        ("raw send_frame", f"{res['raw send_frame']:.2f} us  (VorelBus adds {res['VorelBus.send'] - res['raw send_frame']:.2f} us; goal <= 2)"),
        ("pure-Python bus over pyusb, send", f"{res['pyusb bus send']:.2f} us  ({res['pyusb bus send'] / res['VorelBus.send']:.1f}x slower; goal >= 5x)"),
        ("VorelBus.recv", f"{res['VorelBus.recv']:.2f} us"),
        ("raw receive_frame", f"{res['raw receive_frame']:.2f} us  (VorelBus adds {res['VorelBus.recv'] - res['raw receive_frame']:.2f} us; goal <= 2)"),
        ("pure-Python bus over pyusb, recv", f"{res['pyusb bus recv']:.2f} us  ({res['pyusb bus recv'] / res['VorelBus.recv']:.1f}x slower; goal >= 5x)"),
    ]
    print(table(rows, f"python-can bus, per message (median of {RUNS} alternating runs)"))

    # send_periodic at 1 ms: the native task against python-can's software task.
    SIM.enable_log(True)
    rows = []
    for spin in (False, True):
        stop = threading.Event()

        def spinner() -> None:
            x = 0
            while not stop.is_set():
                x += 1

        th = threading.Thread(target=spinner) if spin else None
        if th:
            th.start()
        for label in ("VorelBus.send_periodic", "python-can software task"):
            SIM.clear_log()
            m = Message(arbitration_id=0x321, data=[1], is_extended_id=False)
            task = (tx.send_periodic(m, 0.001) if label.startswith("Vorel")
                    else ThreadBasedCyclicSendTask(tx, threading.Lock(), m, 0.001))
            time.sleep(SECONDS)
            task.stop()
            writes = [t.t_ns for t in SIM.log() if t.kind == "bulk" and t.endpoint == 0x02 and t.adapter == a]
            p50, p99 = lateness_p(writes, 1_000_000)
            rows.append((f"{label}{' + busy thread' if spin else ''}", f"p50 {p50:7.1f} us   p99 {p99:7.1f} us   ({len(writes)} frames)"))
        stop.set()
        if th:
            th.join()
    print()
    print(table(rows, f"send_periodic at 1 ms for {SECONDS:.0f} s, lateness against the ideal schedule"))
    tx.shutdown()
    rx_bus.shutdown()
    import usb.util

    usb.util.dispose_resources(pybus.dev)


def shutdown_with_tasks(tasks: int, racing: bool) -> tuple[float, int]:
    """Seconds shutdown() takes with `tasks` native tasks at 5 ms on a full simulated 500 kbit/s
    bus (with `racing`, three threads calling send_periodic meanwhile), and the frames sent after
    it returned (0: every task had stopped)."""
    SIM.reset()
    SIM.enable_log(False)
    SIM.add_adapters(1)
    SIM.add_ack_node(0)  # the tasks' frames are acknowledged and leave the adapter
    bus = VorelBus("VOR.EL:CANH0001")
    for i in range(tasks):
        bus.send_periodic(Message(arbitration_id=0x100 + i, data=bytes(8), is_extended_id=False), 0.005)
    stop = threading.Event()

    def keep_starting() -> None:
        while not stop.is_set():
            try:
                bus.send_periodic(Message(arbitration_id=0x7FF, is_extended_id=False), 0.005)
            except can.CanOperationError:
                return

    starters = [threading.Thread(target=keep_starting) for _ in range(3 if racing else 0)]
    for t in starters:
        t.start()
    time.sleep(0.3)
    t0 = time.perf_counter()
    bus.shutdown()
    took = time.perf_counter() - t0
    stop.set()
    for t in starters:
        t.join()
    sent = SIM.state(0).frames_sent
    time.sleep(0.1)
    return took, SIM.state(0).frames_sent - sent


def shutdown_table() -> str:
    rows = []
    for tasks, racing in ((100, False), (200, False), (200, True)):
        took, after = shutdown_with_tasks(tasks, racing)
        rows.append((f"{tasks} tasks at 5 ms{', three threads starting more' if racing else ''}",
                     f"{took * 1000:6.1f} ms, {after} frames sent after it returned"))
    return table(rows, "shutdown() on a full 500 kbit/s bus")


if __name__ == "__main__":
    main()
    print()
    print(shutdown_table())
