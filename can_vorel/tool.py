"""python -m can_vorel: list the attached adapters, or measure two of them on one bus (selftest)."""

from __future__ import annotations

import argparse
import datetime
import json
import statistics
import struct
import sys
import threading
import time
from importlib import metadata
from typing import Any, Callable, Optional, Sequence

import can
from can import BusState, Message

import vorel_pythoncan_ext as native
from can_vorel import protocol
from can_vorel.bus import _PERMISSION_REMEDY, VorelBus, _probes
from can_vorel.protocol import LIBUSB_ERROR_ACCESS, MODE_FD

# A native task whose schedule drifts more than this against the host clock has fallen behind it.
MAX_TASK_DRIFT_PPM = 1000
# What the load step's tasks ask of the bus, as a share of its frames without stuff bits.
LOAD_SHARE = 0.97
# Synchronous reads kept in flight per adapter while its raw clock is read.
RAW_READERS = 4
# The adapter's bus state numbers, in words.
STATES = {protocol.STATE_ERROR_ACTIVE: "error-active", protocol.STATE_ERROR_WARNING: "error-warning",
          protocol.STATE_ERROR_PASSIVE: "error-passive", protocol.STATE_BUS_OFF: "bus-off",
          protocol.STATE_STOPPED: "stopped"}
NO_ADAPTER_HELP = {
    "win32": "Is the adapter bound to the WinUSB driver? Bind it once with Zadig (choose the adapter, WinUSB, "
             "\"Install Driver\") or with an INF naming WinUSB for 16c0:27d8.",
}.get(sys.platform, "Is it plugged in? Without root, libusb needs the udev rule shipped in "
                    "udev/99-vorel-can.rules (sudo cp it to /etc/udev/rules.d/, then sudo udevadm control "
                    "--reload && sudo udevadm trigger, and plug the adapter in again).")


# --- list -------------------------------------------------------------------------------------------


def describe(serial: str) -> dict[str, Any]:
    """What an adapter says about itself, read without changing its state."""
    dev = native.NativeVorelDevice(serial)
    try:
        hw, fw, channels = dev.get_device_info()
        caps = dev.get_device_capabilities()
        state, rx_errors, tx_errors = dev.get_bus_state()
        return {"serial": serial, "name": dev.get_device_name(), "hardware": hw, "firmware": fw,
                "channels": channels, "capabilities": caps, "bit_timing_limits": dev._timing_limits(),
                "state": STATES.get(state, f"state {state}"), "tx_error_count": tx_errors,
                "rx_error_count": rx_errors, "fd": bool(caps["ctrlmode_supported"] & MODE_FD)}
    finally:
        dev._release()


def _limits_text(info: dict[str, Any]) -> str:
    t = info["bit_timing_limits"]
    return (f"clock {info['capabilities']['clock_freq'] / 1e6:g} MHz; bit timing: prescaler {t['brp_min']}-{t['brp_max']} "
            f"(step {t['brp_inc']}), tseg1 {t['tseg1_min']}-{t['tseg1_max']}, tseg2 {t['tseg2_min']}-{t['tseg2_max']}, "
            f"sjw up to {t['sjw_max']}")


def list_adapters(out: Callable[[str], None] = print) -> int:
    try:
        serials = sorted(native.list_devices())
    except RuntimeError as e:
        out(f"The USB could not be searched: {e}")
        return 1
    denied = [p for p in _probes() if p["open"] != 0]
    if not serials and not denied:
        out("No VOREL adapter is attached. " + NO_ADAPTER_HELP)
        return 0
    for serial in serials:
        try:
            info = describe(serial)
        except RuntimeError as e:
            out(VorelBus._open_failure(e, serial, None))  # held by another program, or by this one
            continue
        out(f"{serial}: name {info['name']!r}, hardware {info['hardware']}, firmware {info['firmware']}, "
            f"{info['channels']} channel(s)")
        out(f"    {_limits_text(info)}")
        out(f"    {info['state']}, error counters TX {info['tx_error_count']} RX {info['rx_error_count']}; "
            f"CAN FD: {'yes' if info['fd'] else 'no'}")
    for p in denied:
        reason = "permission denied. " + _PERMISSION_REMEDY if p["open"] == LIBUSB_ERROR_ACCESS else f"libusb error {p['open']}"
        out(f"(bus {p['bus']} address {p['address']}): cannot be opened: {reason}")
    return 0


# --- selftest ---------------------------------------------------------------------------------------


class StepFailed(Exception):
    """A step that ran and found something wrong; its message says what, for a person, and its
    figures are kept."""

    def __init__(self, reason: str, results: Optional[dict[str, Any]] = None) -> None:
        super().__init__(reason)
        self.results = results or {}


class Skipped(Exception):
    """A step that could not run; its message says why."""


def percentiles(values: Sequence[float]) -> dict[str, float]:
    ordered = sorted(values)
    if not ordered:
        return {}

    def pick(q: float) -> float:
        return ordered[min(len(ordered) - 1, int(q * len(ordered)))]

    return {"p50": pick(0.50), "p99": pick(0.99), "max": ordered[-1]}


def _us(p: dict[str, float]) -> str:
    return "/".join(f"{p[k]:,.0f}" for k in ("p50", "p99", "max")) + " us (p50/p99/max)"


def wire_bits(dlc: int, extended: bool) -> int:
    """A data frame on the wire with its interframe space, without stuff bits: the most a bus can
    carry is its bit rate over this (stuff bits, which depend on the data, take a few percent more)."""
    return (67 if extended else 47) + 8 * dlc


class Progress:
    """One line that a long step rewrites on a terminal (a line at each quarter elsewhere)."""

    def __init__(self, what: str, total: float) -> None:
        self.what, self.total, self.shown = what, total, -1
        self.tty = sys.stderr.isatty()

    def __call__(self, done: float) -> None:
        quarter = int(4 * done / self.total) if self.total else 4
        if self.tty:
            print(f"\r  {self.what}: {done:,.0f} of {self.total:,.0f}", end="", file=sys.stderr, flush=True)
        elif quarter != self.shown:
            self.shown = quarter
            print(f"  {self.what}: {done:,.0f} of {self.total:,.0f}", file=sys.stderr, flush=True)

    def end(self) -> None:
        if self.tty:
            print(file=sys.stderr, flush=True)


class SelfTest:
    """The steps, run in order on adapters A and B of one bus; each records its result."""

    def __init__(self, a: str, b: str, bitrate: int, seconds: float, destructive: bool,
                 out: Callable[[str], None] = print) -> None:
        self.serials, self.bitrate, self.seconds, self.destructive, self.out = (a, b), bitrate, seconds, destructive, out
        self.results: list[dict[str, Any]] = []
        self.buses: Optional[tuple[VorelBus, VorelBus]] = None
        self.round_trip_us: Optional[float] = None

    def run(self) -> dict[str, Any]:
        report: dict[str, Any] = {
            "tool": "python -m can_vorel selftest", "version": _version(),
            "started": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "bitrate": self.bitrate, "seconds": self.seconds, "adapters": {}, "steps": self.results,
            "python-can": can.__version__, "python": sys.version.split()[0], "platform": sys.platform,
        }
        for s in self.serials:
            try:
                report["adapters"][s] = describe(s)
            except RuntimeError as e:
                report["adapters"][s] = {"serial": s, "error": str(e)}
        steps = [("sees each other", self.step_open), ("round trip", self.step_round_trip),
                 ("full load, 0-byte frames", lambda: self.step_load(0)),
                 ("full load, 8-byte frames", lambda: self.step_load(8)),
                 ("timestamps and a 1 ms periodic task", self.step_clocks),
                 ("bus-off and recovery", self.step_bus_off)]
        try:
            for name, step in steps:
                self._run(name, step)
        finally:
            self._close()
        report["failed"] = [r["step"] for r in self.results if r["status"] == "failed"]
        return report

    def _run(self, name: str, step: Callable[[], dict[str, Any]]) -> None:
        self.out(f"{name} ...")
        t0 = time.monotonic()
        entry: dict[str, Any] = {"step": name}
        try:
            entry.update(status="passed", **step())
        except Skipped as e:
            entry.update(status="skipped", reason=str(e))
        except StepFailed as e:
            entry.update(e.results, status="failed", reason=str(e))
        except (can.CanError, RuntimeError, ValueError) as e:
            entry.update(status="failed", reason=str(e))
        entry["duration_s"] = round(time.monotonic() - t0, 2)
        self.results.append(entry)
        self.out(f"  {entry['status']}: {entry.get('summary') or entry.get('reason', '')}")

    def _open(self) -> tuple[VorelBus, VorelBus]:
        if self.buses is None:
            a = VorelBus(self.serials[0], bitrate=self.bitrate)
            try:
                b = VorelBus(self.serials[1], bitrate=self.bitrate)
            except BaseException:
                a.shutdown()
                raise
            self.buses = (a, b)
        return self.buses

    def _close(self) -> None:
        if self.buses is not None:
            for bus in self.buses:
                bus.shutdown()
            self.buses = None

    def _needs_open(self) -> tuple[VorelBus, VorelBus]:
        if not self.results or self.results[0]["status"] != "passed":
            raise Skipped("needs both adapters open and seeing each other (the first step)")
        return self._open()

    # 1 -------------------------------------------------------------------------------------------
    def step_open(self) -> dict[str, Any]:
        a, b = self._open()
        for sender, receiver, ident in ((a, b, 0x7F0), (b, a, 0x7F1)):
            _drain(receiver)
            sender.send(Message(arbitration_id=ident, data=b"selftest", is_extended_id=False), timeout=1.0)
            got = _wait_for(receiver, ident, 1.0)
            if got is None:
                raise StepFailed(f"{receiver.channel_info} received nothing from {sender.channel_info} within 1 s "
                                 f"(are both on one bus, with 120 ohm at each end, at {self.bitrate} bit/s?)")
        return {"summary": "a frame each way"}

    # 2 -------------------------------------------------------------------------------------------
    def step_round_trip(self) -> dict[str, Any]:
        a, b = self._needs_open()
        count, times, lost = 1000, [], 0
        progress = Progress("round trips", count)
        for i in range(count):
            t0 = time.perf_counter()
            a.send(Message(arbitration_id=0x7F2, data=struct.pack("<I", i), is_extended_id=False), timeout=1.0)
            if _wait_for(b, 0x7F2, 1.0) is None:
                lost += 1
                continue
            b.send(Message(arbitration_id=0x7F3, data=struct.pack("<I", i), is_extended_id=False), timeout=1.0)
            if _wait_for(a, 0x7F3, 1.0) is None:
                lost += 1
                continue
            times.append((time.perf_counter() - t0) * 1e6)
            if i % 50 == 0:
                progress(i)
        progress.end()
        if not times:
            raise StepFailed("no round trip completed")
        p = percentiles(times)
        self.round_trip_us = p["p50"]
        result = {"round_trip_us": p, "lost": lost, "summary": f"{_us(p)}, {lost} lost"}
        if lost:
            raise StepFailed(f"{lost} of {count} frames did not come back within 1 s ({_us(p)} for the rest)")
        return result

    # 3 -------------------------------------------------------------------------------------------
    def step_load(self, dlc: int) -> dict[str, Any]:
        self._needs_open()
        # Native periodic tasks on A, each writing synchronously, so that many writes are in
        # flight at once; together they ask for 97 % of what the bus carries without stuff bits,
        # which stuff bits make a full bus on hardware. More would only queue: a task's write that
        # waits past its time-out is dropped, and would count as lost. Their identifiers count
        # (python-can's tasks keep one identifier), so B sees every gap.
        tasks, rotation = 16, 4096
        capacity = self.bitrate / wire_bits(dlc, True)
        period_us = max(1, round(tasks / (capacity * LOAD_SHARE) * 1e6))
        self._close()
        a = native.NativeVorelDevice(self.serials[0])
        try:
            a.set_bitrate(self.bitrate, 875)
            a.set_bus_state(True)
            b = VorelBus(self.serials[1], bitrate=self.bitrate)
            try:
                counts, before, after = self._count_load(a, b, tasks, rotation, dlc, period_us)
            finally:
                b.shutdown()
        finally:
            a.stop_all_periodic()
            a._release()
        span = counts.last_t - counts.first_t if counts.received > 1 else 0.0
        rate = (counts.received - 1) / span if span > 0 else 0.0
        needed = rate * (self.round_trip_us or 0) / 2 / 1e6 / 2  # a read per USB trip, two frames each
        result: dict[str, Any] = {
            "frames_received": counts.received, "frames_per_s": round(rate), "lost": counts.lost,
            "bus_capacity_per_s_without_stuff_bits": round(capacity), "share_of_bus": round(rate / capacity, 3),
            "receiver_overruns": after["overruns"] - before["overruns"],
            "reads_in_flight_max": after["max_transfers_in_flight"], "reads_needed_estimate": round(needed, 1)}
        result["summary"] = (f"{rate:,.0f} frames/s ({rate / capacity:.0%} of the bus), {counts.lost} lost of "
                             f"{counts.received + counts.lost:,}, {after['max_transfers_in_flight']} reads in flight")
        if counts.received == 0:
            raise StepFailed(f"{self.serials[1]} received none of the frames")
        if counts.lost:
            raise StepFailed(f"{counts.lost} frames lost of {counts.received + counts.lost:,} "
                             f"({rate:,.0f} frames/s carried)", result)
        return result

    def _count_load(self, a: native.NativeVorelDevice, b: VorelBus, tasks: int, rotation: int, dlc: int,
                    period_us: int) -> tuple["Counter", dict[str, int], dict[str, int]]:
        _drain(b)
        before = b.rx_stats()
        counts = Counter(rotation)
        stop = threading.Event()
        reader = threading.Thread(target=counts.read, args=(b, stop), daemon=True)
        reader.start()
        try:
            for t in range(tasks):
                frames = [(0x1000000 | t << 12 | i, True, False, False, dlc, struct.pack("<H", i) + bytes(6) if dlc else b"")
                          for i in range(rotation)]
                a.start_periodic(frames, period_us, None)
            progress = Progress(f"{dlc}-byte frames, seconds", self.seconds)
            t_end = time.monotonic() + self.seconds
            while (left := t_end - time.monotonic()) > 0:
                progress(self.seconds - left)
                time.sleep(min(0.5, left))
            progress.end()
            a.stop_all_periodic()
            time.sleep(0.5)  # what is still in A's queue reaches B
        finally:
            stop.set()
            reader.join()
        return counts, before, b.rx_stats()

    # 4 and 5 -------------------------------------------------------------------------------------
    def step_clocks(self) -> dict[str, Any]:
        self._needs_open()
        self._close()  # the raw adapter clocks are read through the module directly
        devs = [native.NativeVorelDevice(s) for s in self.serials]
        try:
            for d in devs:
                d.set_bitrate(self.bitrate, 875)
                d.set_bus_state(True)
            period_us, rotation = 1000, 4096
            logs: list[list[tuple[int, float, int]]] = [[], []]
            stop = threading.Event()
            # Several synchronous reads in flight per adapter, so that other traffic on the bus cannot
            # fill its queue while one read takes a USB round trip.
            readers = [threading.Thread(target=_read_raw, args=(d, logs[k], 0x7A0 + (1 - k), stop), daemon=True)
                       for k, d in enumerate(devs) for _ in range(RAW_READERS)]
            for r in readers:
                r.start()
            for k, d in enumerate(devs):  # each sends to the other every millisecond
                frames = [(0x7A0 + k, False, False, False, 4, struct.pack("<I", i)) for i in range(rotation)]
                d.start_periodic(frames, period_us, None)
            progress = Progress("seconds", self.seconds)
            t_end = time.monotonic() + self.seconds
            while (left := t_end - time.monotonic()) > 0:
                progress(self.seconds - left)
                time.sleep(min(0.5, left))
            progress.end()
            for d in devs:
                d.stop_all_periodic()
            stop.set()
            for r in readers:
                r.join()
        finally:
            for d in devs:
                d._release()
        logs = [unwrapped(log) for log in logs]
        result: dict[str, Any] = {"note": "the host's read times are the only reference on hardware: an oscillator "
                                          "is measured against the earliest reads, the lag is read time minus that line"}
        parts, drifts = [], []
        for k, serial in enumerate(self.serials):
            clock = clock_fit(logs[k])
            if clock is None:
                raise StepFailed(f"{serial} received too few frames ({len(logs[k])}) to measure its clock")
            ppm, lag = clock
            task = periodic_fit(logs[k], period_us, rotation, ppm)
            sender = self.serials[1 - k]
            drifts.append(task["drift_ppm"])
            result[serial] = {"oscillator_ppm": round(ppm, 1), "stamp_before_read_us": lag,
                              f"periodic_task_of_{sender}": task}
            parts.append(f"{serial} {ppm:+.1f} ppm, stamps {lag['p50']:,.0f} us before reads (p50); "
                         f"{sender}'s 1 ms task late {_us(task['late_us'])}, drift {task['drift_ppm']:+.1f} ppm")
        result["summary"] = "; ".join(parts)
        slow = [f"{self.serials[1 - k]}'s 1 ms task ran {task_drift / 1e4:.1f} % behind its schedule"
                for k, task_drift in enumerate(drifts) if abs(task_drift) > MAX_TASK_DRIFT_PPM]
        if slow:
            raise StepFailed("; ".join(slow) + ": each write of a native task waits for its USB transfer, and "
                             "these took longer than the period", result)
        return result

    # 6 -------------------------------------------------------------------------------------------
    def step_bus_off(self) -> dict[str, Any]:
        if not self.destructive:
            raise Skipped("destructive: run with --destructive to drive A into errors and time its recovery")
        self._needs_open()
        self._close()
        self.out("  WARNING: A sends at half the bit rate B expects: B flags every frame, and other nodes "
                 "on this bus see errors too")
        wrong = self.bitrate // 2
        a = VorelBus(self.serials[0], bitrate=wrong)
        try:
            b = VorelBus(self.serials[1], bitrate=self.bitrate)
            try:
                worst, t_end = BusState.ACTIVE, time.monotonic() + 2.0
                tx_max = 0
                while time.monotonic() < t_end and worst != BusState.ERROR:
                    try:
                        a.send(Message(arbitration_id=0x7F4, is_extended_id=False), timeout=0.05)
                    except can.CanError:
                        pass  # its queue is full of frames nobody takes
                    state = a.state
                    tx_max = max(tx_max, a.error_counters()[0])
                    if state == BusState.ERROR or (state == BusState.PASSIVE and worst == BusState.ACTIVE):
                        worst = state
                reached = {BusState.ERROR: "bus-off", BusState.PASSIVE: "error-passive"}.get(worst, "error-active")
            finally:
                b.shutdown()
        finally:
            a.shutdown()
        a, b = self._open()
        _drain(b)
        t0 = time.perf_counter()
        a.reset()
        a.send(Message(arbitration_id=0x7F5, is_extended_id=False), timeout=1.0)
        if _wait_for(b, 0x7F5, 2.0) is None:
            raise StepFailed(f"after a restart at {self.bitrate} bit/s, {self.serials[1]} received nothing from "
                             f"{self.serials[0]} within 2 s")
        recovery_ms = (time.perf_counter() - t0) * 1e3
        return {"reached": reached, "tx_error_count_max": tx_max, "recovery_ms": round(recovery_ms, 1),
                "summary": f"reached {reached} (TX errors up to {tx_max}); restart to the first frame through: "
                           f"{recovery_ms:.1f} ms"}


class Counter:
    """Frames of the load tasks counted by task, in each task's order: every gap is a loss."""

    def __init__(self, rotation: int) -> None:
        self.rotation, self.received, self.lost = rotation, 0, 0
        self.last: dict[int, int] = {}
        self.first_t = self.last_t = 0.0

    def read(self, bus: VorelBus, stop: threading.Event) -> None:
        while True:
            # Once stopped, what is queued already is still counted; then it returns.
            msg = bus.recv(0 if stop.is_set() else 0.1)
            if msg is None:
                if stop.is_set():
                    return
                continue
            if not msg.is_extended_id or msg.arbitration_id >> 24 != 1:
                continue
            task, seq = msg.arbitration_id >> 12 & 0xFFF, msg.arbitration_id & 0xFFF
            if task in self.last:
                self.lost += (seq - self.last[task] - 1) % self.rotation
            self.last[task] = seq
            now = time.monotonic()
            if not self.received:
                self.first_t = now
            self.last_t = now
            self.received += 1


def _read_raw(dev: native.NativeVorelDevice, log: list[tuple[int, float, int]], ident: int,
              stop: threading.Event) -> None:
    """(adapter microseconds as stamped, host read time, counter) of every frame with `ident`,
    appended by each of several reader threads (list.append is atomic)."""
    while not stop.is_set():
        f = dev.receive_frame(100)
        now = time.monotonic()
        if f is not None and f[1] == ident and not f[4] and len(f[6]) == 4:
            log.append((f[0], now, struct.unpack("<I", f[6])[0]))


def unwrapped(log: list[tuple[int, float, int]]) -> list[tuple[int, float, int]]:
    """The frames in the adapter's order, its 32-bit counter unwrapped: in read order a wrap is a
    step back by more than half the counter, which readers a few milliseconds apart cannot fake."""
    out, base, last = [], 0, None
    for ts, t, counter in sorted(log, key=lambda e: e[1]):
        if last is not None and ts + base < last - (1 << 31):
            base += 1 << 32
        last = ts + base
        out.append((last, t, counter))
    return sorted(out)


def clock_fit(log: list[tuple[int, float, int]]) -> Optional[tuple[float, dict[str, float]]]:
    """The adapter's oscillator error against the host's read times, and how long after that line
    each frame was read. A read never comes before its frame, so the truth lies below every point
    (read time, read time - stamp): the line is the edge of their lower hull under the middle of
    the run, set by two of the earliest reads, usually far apart."""
    if len(log) < 100:
        return None
    points = sorted((t, t - a / 1e6) for a, t, _ in log)
    hull: list[tuple[float, float]] = []
    for p in points:
        while len(hull) >= 2 and _cross(hull[-2], hull[-1], p) <= 0:
            hull.pop()
        hull.append(p)
    middle = (points[0][0] + points[-1][0]) / 2
    (t1, d1), (t2, d2) = next((hull[i], hull[i + 1]) for i in range(len(hull) - 1) if hull[i + 1][0] >= middle)
    slope = (d2 - d1) / (t2 - t1)  # host seconds per host second the adapter's count gains: it runs fast
    ppm = -slope / (1 + slope) * 1e6
    lag = [(d - (d1 + slope * (t - t1))) * 1e6 for t, d in points]
    return ppm, percentiles(lag)


def _cross(o: tuple[float, float], a: tuple[float, float], b: tuple[float, float]) -> float:
    return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0])


def periodic_fit(log: list[tuple[int, float, int]], period_us: int, rotation: int, ppm: float) -> dict[str, Any]:
    """A periodic task's frames as the receiving adapter stamped them (its oscillator corrected):
    lateness against the schedule of the first frame, and the schedule's drift."""
    ks, ts, k = [], [], None
    for a, _t, counter in log:
        k = counter if k is None else k + (counter - k) % rotation
        ks.append(k)
        ts.append(a / (1 + ppm * 1e-6))
    offsets = [t - kk * period_us for kk, t in zip(ks, ts)]
    slope = statistics.linear_regression(ks, offsets).slope if len(ks) > 1 else 0.0
    late = [o - min(offsets) for o in offsets]
    return {"frames": len(ks), "missed": (ks[-1] - ks[0] + 1 - len(ks)) if ks else 0,
            "late_us": percentiles(late), "drift_ppm": round(slope / period_us * 1e6, 1)}


def _drain(bus: VorelBus) -> None:
    """Drops what is queued now (other nodes may keep sending: this stops after 0.5 s)."""
    end = time.monotonic() + 0.5
    while time.monotonic() < end and bus.recv(0.02) is not None:
        pass


def _wait_for(bus: VorelBus, ident: int, timeout: float) -> Optional[Message]:
    end = time.monotonic() + timeout
    while (left := end - time.monotonic()) > 0:
        msg = bus.recv(left)
        if msg is not None and msg.arbitration_id == ident and not msg.is_error_frame:
            return msg
    return None


def _version() -> str:
    try:
        return metadata.version("vorel_pythoncan_ext")
    except metadata.PackageNotFoundError:
        return "unknown"


def summary_table(report: dict[str, Any]) -> str:
    rows = [(r["step"], r["status"], r.get("summary") or r.get("reason", "")) for r in report["steps"]]
    w = [max(len(r[i]) for r in rows + [("step", "result", "")]) for i in range(2)]
    lines = [f"{'step':<{w[0]}}  {'result':<{w[1]}}  figures"]
    lines += [f"{s:<{w[0]}}  {st:<{w[1]}}  {fig}" for s, st, fig in rows]
    return "\n".join(lines)


# --- command line -----------------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m can_vorel", description="VOREL USB CAN adapters: list them, or "
                                "measure two of them wired to one bus.")
    sub = p.add_subparsers(dest="command", required=True)
    sub.add_parser("list", help="every attached adapter with its versions, limits and state")
    s = sub.add_parser("selftest", help="measure two adapters on one bus (a short cable, 120 ohm at both ends)")
    s.add_argument("serial_a")
    s.add_argument("serial_b")
    s.add_argument("--bitrate", type=int, default=1_000_000, help="bit rate of the bus (default 1000000)")
    s.add_argument("--seconds", type=float, default=10.0, help="length of each timed step (default 10)")
    s.add_argument("--json", metavar="FILE", help="write every result to FILE as JSON (attach it to a report)")
    s.add_argument("--destructive", action="store_true",
                   help="also drive A into errors on purpose and time its recovery (disturbs the whole bus)")
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    if args.command == "list":
        return list_adapters()
    if args.seconds <= 0 or args.seconds > 3600:
        print("--seconds must be above 0 and at most 3600", file=sys.stderr)
        return 2
    print(f"self-test of {args.serial_a} (A) and {args.serial_b} (B) at {args.bitrate} bit/s, {args.seconds:g} s a step")
    report = SelfTest(args.serial_a, args.serial_b, args.bitrate, args.seconds, args.destructive).run()
    print()
    print(summary_table(report))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=2)
        print(f"\nEvery result is in {args.json}; attach it when you report a problem.")
    if report["failed"]:
        print(f"\nFailed: {', '.join(report['failed'])}", file=sys.stderr)
        return 1
    return 0
