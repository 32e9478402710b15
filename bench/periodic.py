"""Periodic lateness of the native tasks against python-can's software task, on the simulator.

Every write's timestamp in the simulator's log is compared with the ideal schedule t0 + i * period.
Run: ./run bench periodic   (about 70 s; writes bench/periodic_*.png)
"""

from __future__ import annotations

import os
import resource
import statistics
import threading
import time

import can
from can.broadcastmanager import ThreadBasedCyclicSendTask
from common import SIM, table
from plot import histograms

import vorel_pythoncan_ext as vorel

SECONDS = float(os.environ.get("VOREL_BENCH_SECONDS", "10"))
PERIOD = 0.001
HERE = os.path.dirname(os.path.abspath(__file__))


class RawBus(can.BusABC):
    """The thinnest python-can bus over the module: send() is one send_frame call."""

    def __init__(self, dev: vorel.NativeVorelDevice) -> None:
        self.dev = dev
        self.channel_info = "raw"
        super().__init__(channel="raw")

    def send(self, msg: can.Message, timeout: float | None = None) -> None:
        self.dev.send_frame(msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.is_error_frame,
                            msg.dlc, msg.data, 100)

    def _recv_internal(self, timeout):
        return None, False


def cpu_seconds() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def lateness(writes: list[int], period_ns: int) -> list[float]:
    """Microseconds each write went out after its ideal time, the first write being time zero."""
    t0 = writes[0]
    return [(t - t0 - i * period_ns) / 1000 for i, t in enumerate(writes)]


def spinner(stop: threading.Event, used: list[float]) -> None:
    t0 = time.thread_time()
    x = 0
    while not stop.is_set():
        for i in range(1000):
            x += i
    used.append(time.thread_time() - t0)


def run_case(native: bool, tasks: int, spin: bool) -> tuple[list[float], float, float]:
    """(lateness of every write in us, last send's drift in us, CPU seconds per frame)."""
    SIM.clear_log()
    dev = DEV
    stop_spin = threading.Event()
    spun: list[float] = []
    spin_thread = threading.Thread(target=spinner, args=(stop_spin, spun)) if spin else None
    if spin_thread:
        spin_thread.start()
    cpu0 = cpu_seconds()
    if native:
        ids = [dev.start_periodic([(0x100 + k, False, False, False, 1, bytes([k]))], int(PERIOD * 1e6), None)
               for k in range(tasks)]
        time.sleep(SECONDS)
        for i in ids:
            dev.stop_periodic(i)
    else:
        bus = RawBus(dev)
        lock = threading.Lock()
        ts = [ThreadBasedCyclicSendTask(bus, lock, can.Message(arbitration_id=0x100 + k, data=[k],
                                                                is_extended_id=False), PERIOD)
              for k in range(tasks)]
        time.sleep(SECONDS)
        for t in ts:
            t.stop()
        bus.shutdown()
    if spin_thread:
        stop_spin.set()
        spin_thread.join()
    cpu = cpu_seconds() - cpu0 - sum(spun)  # the spinner's own time is not the sender's
    by_task: dict[int, list[int]] = {}
    for t in SIM.log():
        if t.kind == "bulk" and t.endpoint == 0x02:
            by_task.setdefault(t.data[4], []).append(t.t_ns)
    late: list[float] = []
    drift = 0.0
    for writes in by_task.values():
        lt = lateness(writes, int(PERIOD * 1e9))
        late += lt
        drift = max(drift, lt[-1])
    frames = sum(len(w) for w in by_task.values())
    return late, drift, cpu / max(frames, 1)


def pct(values: list[float], p: float) -> float:
    s = sorted(values)
    return s[min(len(s) - 1, int(len(s) * p))]


def main() -> None:
    global DEV
    SIM.reset()
    SIM.add_adapter("VOR.EL:CANH0001")
    SIM.set_sink(0)
    SIM.enable_log(True)
    DEV = vorel.NativeVorelDevice(None)
    cases = [
        ("1 task", 1, False),
        ("1 task + spinning thread", 1, True),
        ("32 tasks", 32, False),
    ]
    rows = []
    for name, tasks, spin in cases:
        results = {}
        for native in (True, False):
            late, drift, cpu = run_case(native, tasks, spin)
            results["native" if native else "python-can"] = (late, drift, cpu)
        for label, (late, drift, cpu) in results.items():
            rows.append((f"{name}, {label}",
                         f"p50 {pct(late, 0.5):8.1f}  p99 {pct(late, 0.99):8.1f}  max {max(late):9.1f} us   "
                         f"last-send drift {drift:8.1f} us   CPU {cpu * 1e6:6.2f} us/frame   ({len(late)} frames)"))
        n, b = results["native"], results["python-can"]
        rows.append((f"{name}, ratios", f"p99 native/python-can {pct(n[0], 0.99) / max(pct(b[0], 0.99), 1e-9):.3f}   "
                                        f"CPU native/python-can {n[2] / b[2]:.3f}"))
        slug = name.replace(" ", "_").replace("+", "and")
        histograms({k: v[0] for k, v in results.items()}, f"Lateness at 1 ms: {name} ({SECONDS:.0f} s)",
                   os.path.join(HERE, f"periodic_{slug}.png"))
    print(table(rows, f"Periodic send at 1 ms for {SECONDS:.0f} s (lateness from the simulator's write timestamps)"))
    del DEV


if __name__ == "__main__":
    main()
