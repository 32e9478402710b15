"""Python control of the simulated adapters (ctypes over the drop-in libusb's control API)."""

from __future__ import annotations

import ctypes
import os
import sys
import time
from dataclasses import dataclass
from typing import Iterable, Optional

# libusb's error codes, as the simulated transfers return them.
ERROR_IO = -1
ERROR_INVALID_PARAM = -2
ERROR_ACCESS = -3
ERROR_NO_DEVICE = -4
ERROR_NOT_FOUND = -5
ERROR_BUSY = -6
ERROR_TIMEOUT = -7
ERROR_OVERFLOW = -8
ERROR_PIPE = -9
ERROR_INTERRUPTED = -10
ERROR_NO_MEM = -11
ERROR_NOT_SUPPORTED = -12
ERROR_OTHER = -99

SERIAL_NORMAL, SERIAL_NONE, SERIAL_UNREADABLE, SERIAL_RAW = range(4)
IN, OUT, ANY = 1, 0, -1


class _State(ctypes.Structure):
    _fields_ = [
        ("plugged", ctypes.c_int32),
        ("bus_on", ctypes.c_int32),
        ("mode", ctypes.c_uint32),
        ("led_mode", ctypes.c_uint32),
        ("bittiming", ctypes.c_uint32 * 8),
        ("name", ctypes.c_uint8 * 16),
        ("frames_sent", ctypes.c_uint64),
        ("frames_received", ctypes.c_uint64),
        ("frames_dropped", ctypes.c_uint64),
        ("rx_overflows", ctypes.c_uint64),
        ("rx_queued", ctypes.c_uint32),
        ("tx_queued", ctypes.c_uint32),
        ("claimed", ctypes.c_int32),
        ("bus", ctypes.c_int32),
        ("tx_error_count", ctypes.c_uint32),
        ("rx_error_count", ctypes.c_uint32),
        ("tx_failures", ctypes.c_uint64),
    ]


class _LogEntry(ctypes.Structure):
    _fields_ = [
        ("seq", ctypes.c_uint64),
        ("t_ns", ctypes.c_uint64),
        ("thread", ctypes.c_int32),
        ("adapter", ctypes.c_int32),
        ("kind", ctypes.c_int32),
        ("request_type", ctypes.c_uint8),
        ("request", ctypes.c_uint8),
        ("value", ctypes.c_uint16),
        ("index", ctypes.c_uint16),
        ("length", ctypes.c_uint16),
        ("endpoint", ctypes.c_uint8),
        ("reserved", ctypes.c_uint8 * 3),
        ("timeout_ms", ctypes.c_uint32),
        ("result", ctypes.c_int32),
        ("transferred", ctypes.c_int32),
        ("data_len", ctypes.c_uint16),
        ("data", ctypes.c_uint8 * 64),
    ]


@dataclass(frozen=True)
class Transfer:
    """One logged transfer. `data` is what went out (OUT) or came back (IN), up to 64 bytes."""

    seq: int
    t_ns: int
    thread: int
    adapter: int
    kind: str  # "control" or "bulk"
    request_type: int
    request: int
    value: int
    index: int
    length: int
    endpoint: int
    timeout_ms: int
    result: int
    transferred: int
    data: bytes

    @property
    def is_vendor(self) -> bool:
        return self.kind == "control" and (self.request_type & 0x60) == 0x40


@dataclass(frozen=True)
class State:
    plugged: bool
    bus_on: bool
    mode: int
    led_mode: int
    bittiming: tuple[int, ...]
    name: bytes
    frames_sent: int
    frames_received: int
    frames_dropped: int
    rx_overflows: int
    rx_queued: int
    tx_queued: int
    claimed: bool
    bus: int
    tx_error_count: int
    rx_error_count: int
    tx_failures: int  # sending attempts nobody acknowledged or an error flag destroyed


LIBRARY_NAME = "libusb-1.0.so.0"


def library_path() -> str:
    """The simulated adapters' libusb: $VOREL_SIM_LIB, the copy installed with this package, or
    whatever libusb-1.0.so.0 the library path finds."""
    path = os.environ.get("VOREL_SIM_LIB")
    if path:
        return path
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_NAME)
    return here if os.path.exists(here) else LIBRARY_NAME


def frontend_environment(frontend: str, build: str, base: Optional[dict[str, str]] = None) -> dict[str, str]:
    """The environment of a process that is to meet the simulated adapters through `frontend`:
    "dropin" (the simulator's libusb first on the library path) or "umockdev" (emulated USB
    devices for the system's libusb), with the simulator built in the CMake folder `build`."""
    env = dict(os.environ if base is None else base)
    preload = [p for p in env.get("LD_PRELOAD", "").split(":") if p and "libumockdev-preload" not in p]
    simlib = os.path.join(build, "simlib")
    paths = [p for p in env.get("LD_LIBRARY_PATH", "").split(":") if p and os.path.realpath(p) != os.path.realpath(simlib)]
    if frontend == "umockdev":
        preload.insert(0, "libumockdev-preload.so.0")
        env["VOREL_SIM_LIB"] = os.path.join(build, "simlib-umockdev", "libvorel_sim_umockdev.so")
        env["TMPDIR"] = "/tmp"  # the testbed's socket paths must stay under 108 bytes
    elif frontend == "dropin":
        paths.insert(0, simlib)
        env["VOREL_SIM_LIB"] = os.path.join(simlib, LIBRARY_NAME)
    else:
        raise ValueError(f"unknown front end {frontend!r}")
    env["LD_PRELOAD"] = ":".join(preload)
    env["LD_LIBRARY_PATH"] = ":".join(paths)
    return env


class Sim:
    """The simulated world of this process: adapters, buses, faults, the transfer log."""

    def __init__(self, path: Optional[str] = None) -> None:
        lib = ctypes.CDLL(path or library_path(), use_errno=True)
        if not hasattr(lib, "vsim_reset"):
            raise RuntimeError(
                "the libusb loaded is not the simulated one; put the simulator's folder first "
                "on LD_LIBRARY_PATH (./run does this)"
            )
        self._lib = lib
        # Which front end serves the adapters: the drop-in libusb itself, or emulated Linux USB
        # devices that the system's libusb drives (that library publishes them when started).
        self.frontend = "umockdev" if hasattr(lib, "vsim_umockdev_start") else "dropin"
        if self.frontend == "umockdev":
            lib.vsim_umockdev_dir.restype = ctypes.c_char_p
            if lib.vsim_umockdev_start() != 0:
                raise RuntimeError(
                    "the emulated USB devices need a process started with "
                    "LD_PRELOAD=libumockdev-preload.so.0 (./run does this)"
                )
        # The libusb that programs in this process load: the drop-in itself, or the system's.
        self.libusb_path = (path or library_path()) if self.frontend == "dropin" else LIBRARY_NAME
        u8p = ctypes.POINTER(ctypes.c_uint8)
        sig = {
            "vsim_add_adapter": ([ctypes.c_char_p], ctypes.c_int),
            "vsim_set_name": ([ctypes.c_int, u8p, ctypes.c_size_t], ctypes.c_int),
            "vsim_set_capabilities": ([ctypes.c_int] + [ctypes.c_uint32] * 5, ctypes.c_int),
            "vsim_set_bt_const": ([ctypes.c_int, ctypes.POINTER(ctypes.c_uint32)], ctypes.c_int),
            "vsim_set_device_info": ([ctypes.c_int, u8p, u8p, ctypes.c_uint8], ctypes.c_int),
            "vsim_set_error_counters": ([ctypes.c_int, ctypes.c_uint32, ctypes.c_uint32], ctypes.c_int),
            "vsim_set_tx_fifo": ([ctypes.c_int, ctypes.c_uint32], ctypes.c_int),
            "vsim_set_sink": ([ctypes.c_int, ctypes.c_int], ctypes.c_int),
            "vsim_set_clock": ([ctypes.c_int, ctypes.c_uint64, ctypes.c_int], ctypes.c_int),
            "vsim_set_drift": ([ctypes.c_int, ctypes.c_double], ctypes.c_int),
            "vsim_adapter_time_us": ([ctypes.c_int, ctypes.c_uint64], ctypes.c_uint64),
            "vsim_set_rx_queue": ([ctypes.c_int, ctypes.c_uint32], ctypes.c_int),
            "vsim_set_usb_latency": ([ctypes.c_int, ctypes.c_uint32, ctypes.c_uint32], ctypes.c_int),
            "vsim_set_usb_frame": ([ctypes.c_int, ctypes.c_uint32], ctypes.c_int),
            "vsim_add_traffic": ([ctypes.c_int, ctypes.c_char_p], ctypes.c_int),
            "vsim_add_load": ([ctypes.c_int, ctypes.c_char_p], ctypes.c_int),
            "vsim_bus_busy_ns": ([ctypes.c_int], ctypes.c_uint64),
            "vsim_set_capture": ([ctypes.c_char_p, ctypes.c_int], ctypes.c_int),
            "vsim_inject_rx": ([ctypes.c_int, u8p, ctypes.c_size_t], ctypes.c_int),
            "vsim_inject_frame": (
                [ctypes.c_int, ctypes.c_uint32, ctypes.c_uint8, ctypes.c_uint8, u8p, ctypes.c_size_t],
                ctypes.c_int,
            ),
            "vsim_script_answer": ([ctypes.c_int, ctypes.c_uint8, u8p, ctypes.c_size_t, ctypes.c_int], ctypes.c_int),
            "vsim_fail_control": ([ctypes.c_int] * 5, ctypes.c_int),
            "vsim_fail_bulk": ([ctypes.c_int, ctypes.c_uint8, ctypes.c_int, ctypes.c_int, ctypes.c_int], ctypes.c_int),
            "vsim_set_stall": ([ctypes.c_int, ctypes.c_uint8, ctypes.c_int], ctypes.c_int),
            "vsim_set_hostile": ([ctypes.c_int, ctypes.c_uint64], ctypes.c_int),
            "vsim_get_state": ([ctypes.c_int, ctypes.POINTER(_State)], ctypes.c_int),
            "vsim_log_count": ([], ctypes.c_size_t),
            "vsim_log_get": ([ctypes.c_size_t, ctypes.POINTER(_LogEntry)], ctypes.c_int),
            "vsim_now_ns": ([], ctypes.c_uint64),
            "vsim_received_with_id": ([ctypes.c_int, ctypes.c_uint32], ctypes.c_uint64),
            "vsim_print_summary": ([ctypes.c_int], None),
            "vsim_add_ack_node": ([ctypes.c_int], ctypes.c_int),
        }
        for name, (args, res) in sig.items():
            fn = getattr(lib, name)
            fn.argtypes = args
            fn.restype = res

    # --- world -------------------------------------------------------------------------------
    def reset(self) -> None:
        """Remove every adapter, fault and log entry."""
        self._lib.vsim_reset()

    def add_adapter(
        self,
        serial: Optional[str] = "VOR.EL:CANH0001",
        *,
        name: bytes | str = b"",
        serial_mode: int = SERIAL_NORMAL,
    ) -> int:
        """Attach an adapter; `serial=None` gives it no serial descriptor. Returns its index."""
        idx = self._lib.vsim_add_adapter(None if serial is None else serial.encode("utf-8", "surrogateescape"))
        if name:
            self.set_name(idx, name)
        if serial_mode != SERIAL_NORMAL:
            self._check(self._lib.vsim_set_serial_mode(idx, serial_mode))
        return idx

    def add_adapters(self, count: int, *, joined: bool = True) -> list[int]:
        """Attach `count` adapters with serials VOR.EL:CANH0001...; joined on one bus by default."""
        first = self.adapter_count()
        idx = [self.add_adapter(f"VOR.EL:CANH{first + i + 1:04d}") for i in range(count)]
        if joined:
            for i in idx[1:]:
                self.join(idx[0], i)
        return idx

    def adapter_count(self) -> int:
        return int(self._lib.vsim_adapter_count())

    def join(self, a: int, b: int) -> None:
        """Put adapter b (with the bus it is on) on adapter a's bus."""
        self._check(self._lib.vsim_join(a, b))

    def now_ns(self) -> int:
        return int(self._lib.vsim_now_ns())

    # --- identity and firmware tables ---------------------------------------------------------
    def set_name(self, a: int, name: bytes | str) -> None:
        raw = name.encode() if isinstance(name, str) else bytes(name)
        self._check(self._lib.vsim_set_name(a, self._buf(raw), len(raw)))

    def set_serial_mode(self, a: int, mode: int) -> None:
        self._check(self._lib.vsim_set_serial_mode(a, mode))

    def set_capabilities(
        self,
        a: int,
        clock_freq: int = 48_000_000,
        tx_size: int = 16,
        rx_size: int = 64,
        ctrlmode_supported: int = 0x1F,
        features: int = 0,
    ) -> None:
        self._check(self._lib.vsim_set_capabilities(a, clock_freq, tx_size, rx_size, ctrlmode_supported, features))

    def set_bt_const(self, a: int, limits: Iterable[int]) -> None:
        vals = (ctypes.c_uint32 * 8)(*list(limits))
        self._check(self._lib.vsim_set_bt_const(a, vals))

    def set_device_info(self, a: int, hw: Iterable[int], fw: Iterable[int], channels: int) -> None:
        self._check(self._lib.vsim_set_device_info(a, self._buf(bytes(hw)), self._buf(bytes(fw)), channels))

    def set_error_counters(self, a: int, rx: int, tx: int) -> None:
        self._check(self._lib.vsim_set_error_counters(a, rx, tx))

    def bus_off(self, a: int) -> None:
        """Forces adapter `a` bus-off, as a shorted bus does: it sends and receives nothing until its
        controller is restarted (switched off and on, which clears its error counters)."""
        self.set_error_counters(a, 0, 256)

    def set_tx_fifo(self, a: int, capacity: int) -> None:
        self._check(self._lib.vsim_set_tx_fifo(a, capacity))

    def set_sink(self, a: int, on: bool = True) -> None:
        """Accept every write at once and drop it (measures the host side alone)."""
        self._check(self._lib.vsim_set_sink(a, int(on)))

    def set_clock(self, a: int, offset_us: int = 0, bits: int = 32) -> None:
        self._check(self._lib.vsim_set_clock(a, offset_us, bits))

    def set_drift(self, a: int, ppm: float) -> None:
        """The adapter's oscillator runs fast (ppm > 0) or slow by this many parts per million."""
        self._check(self._lib.vsim_set_drift(a, ppm))

    def adapter_time_us(self, a: int, t_ns: int) -> int:
        """The adapter's timestamp at the model's time `t_ns` (see now_ns)."""
        return int(self._lib.vsim_adapter_time_us(a, t_ns))

    def set_rx_queue(self, a: int, frames: int) -> None:
        """The firmware's receive queue (default 64 frames); frames that find it full are dropped."""
        self._check(self._lib.vsim_set_rx_queue(a, frames))

    def set_usb_latency(self, a: int, fixed_us: int, jitter_us: int = 0) -> None:
        """Every transfer completes fixed_us plus a random 0..jitter_us after it could."""
        self._check(self._lib.vsim_set_usb_latency(a, fixed_us, jitter_us))

    def set_usb_frame(self, a: int, frame_us: int) -> None:
        """Completions come only at USB frame boundaries, every frame_us (0: at once), as WinUSB
        reports short reads: each pending transfer completes at most once per frame."""
        self._check(self._lib.vsim_set_usb_frame(a, frame_us))

    # --- traffic --------------------------------------------------------------------------------
    def add_traffic(self, a: int, spec: str) -> None:
        """Another node on adapter a's bus: "ID:PERIOD_MS[:HEXDATA]", ID in hex."""
        if self._lib.vsim_add_traffic(a, spec.encode()) != 0:
            raise ValueError(f"no adapter {a}, or not ID:PERIOD_MS[:HEXDATA]: {spec!r}")

    def add_load(self, a: int, percent: float, frames: str = "8") -> None:
        """A node filling `percent` of adapter a's bus with frames of 8 data bytes, none ("0") or
        0 to 8 in turn ("mixed"); the identifier (mod 2048) and the data count frames."""
        if self._lib.vsim_add_load(a, f"{percent}:{frames}".encode()) != 0:
            raise ValueError(f"no adapter {a}, or a load of {percent!r} {frames!r}")

    def add_ack_node(self, a: int) -> None:
        """Another node on adapter `a`'s bus that sends nothing and acknowledges every frame at `a`'s
        bit rate now: without one (or a second adapter that is on), nobody acknowledges a frame."""
        self._check(self._lib.vsim_add_ack_node(a))

    def bus_busy_ns(self, a: int) -> int:
        """Wire time of every frame finished on adapter a's bus so far."""
        return int(self._lib.vsim_bus_busy_ns(a))

    def set_capture(self, path: Optional[str], append: bool = False) -> None:
        """Write every frame on any bus to `path` in python-can's ASC layout (None stops)."""
        if self._lib.vsim_set_capture(None if path is None else os.fsencode(path), int(append)) != 0:
            raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()), path)

    # --- sharing the bus with other processes (drop-in only) ------------------------------------
    def serve(self, socket_path: str) -> None:
        """Serve this process's adapters to processes whose VOREL_SIM_SERVER names `socket_path`."""
        self._lib.vsim_serve_start.argtypes = [ctypes.c_char_p]
        if self._lib.vsim_serve_start(os.fsencode(socket_path)) != 0:
            e = ctypes.get_errno()
            raise OSError(e, os.strerror(e), socket_path)

    def stop_serving(self) -> None:
        self._lib.vsim_serve_stop()
    def inject_rx(self, a: int, records: bytes) -> None:
        """Queue raw 24-byte RX records for the host to read."""
        self._check(self._lib.vsim_inject_rx(a, self._buf(records), len(records)))

    def inject_frame(self, a: int, id_word: int, flags: int = 0, dlc: int = 0, data: bytes = b"") -> None:
        """Queue one RX record stamped with the adapter's clock now."""
        self._check(self._lib.vsim_inject_frame(a, id_word, flags, dlc, self._buf(data), len(data)))

    # --- scripts and faults -----------------------------------------------------------------------
    def script_answer(self, a: int, request: int, data: bytes, count: int = 1) -> None:
        """The next `count` IN answers to `request` are `data` (count < 0: forever)."""
        self._check(self._lib.vsim_script_answer(a, request, self._buf(data), len(data), count))

    def clear_scripts(self, a: int) -> None:
        self._check(self._lib.vsim_clear_scripts(a))

    def fail_control(self, a: int, error: int, *, request: int = -1, direction: int = ANY, count: int = 1) -> None:
        """The next `count` matching control transfers fail with `error`."""
        self._check(self._lib.vsim_fail_control(a, request, direction, error, count))

    def fail_bulk(self, a: int, endpoint: int, error: int, *, transferred: int = 0, count: int = 1) -> None:
        """The next `count` bulk transfers on `endpoint` fail with `error` after `transferred` bytes."""
        self._check(self._lib.vsim_fail_bulk(a, endpoint, error, transferred, count))

    def set_open_error(self, a: int, error: int) -> None:
        self._check(self._lib.vsim_set_open_error(a, error))

    def set_claim_error(self, a: int, error: int) -> None:
        self._check(self._lib.vsim_set_claim_error(a, error))

    def set_stall(self, a: int, endpoint: int, on: bool = True) -> None:
        self._check(self._lib.vsim_set_stall(a, endpoint, int(on)))

    def set_hostile(self, a: int, seed: int) -> None:
        """Answer every vendor IN request with random lengths and bytes (0 turns it off)."""
        self._check(self._lib.vsim_set_hostile(a, seed))

    def fail_init(self, error: int, count: int = 1) -> None:
        """The next `count` libusb_init calls fail with `error`."""
        self._lib.vsim_fail_init(error, count)

    def fail_device_list(self, error: int, count: int = 1) -> None:
        """The next `count` libusb_get_device_list calls fail with `error`."""
        self._lib.vsim_fail_device_list(error, count)

    def unplug(self, a: int) -> None:
        self._check(self._lib.vsim_unplug(a))

    # --- inspection ---------------------------------------------------------------------------
    def state(self, a: int) -> State:
        s = _State()
        self._check(self._lib.vsim_get_state(a, ctypes.byref(s)))
        return State(
            plugged=bool(s.plugged),
            bus_on=bool(s.bus_on),
            mode=s.mode,
            led_mode=s.led_mode,
            bittiming=tuple(s.bittiming),
            name=bytes(s.name),
            frames_sent=s.frames_sent,
            frames_received=s.frames_received,
            frames_dropped=s.frames_dropped,
            rx_overflows=s.rx_overflows,
            rx_queued=s.rx_queued,
            tx_queued=s.tx_queued,
            claimed=bool(s.claimed),
            bus=s.bus,
            tx_error_count=s.tx_error_count,
            rx_error_count=s.rx_error_count,
            tx_failures=s.tx_failures,
        )

    def print_summary(self, stdout: bool = False) -> None:
        """Every adapter's counters, one line each, as `vorel-sim` prints them at the end (on stderr,
        or on stdout)."""
        (sys.stdout if stdout else sys.stderr).flush()
        self._lib.vsim_print_summary(1 if stdout else 2)

    def received_with_id(self, a: int, id_word: int) -> int:
        """How many frames with this identifier word reached adapter `a`'s queue for the host."""
        return int(self._lib.vsim_received_with_id(a, id_word))

    def enable_log(self, on: bool = True) -> None:
        self._lib.vsim_log_enable(int(on))

    def clear_log(self) -> None:
        self._lib.vsim_log_clear()

    def log(self, start: int = 0) -> list[Transfer]:
        """Every logged transfer from index `start` on, oldest first."""
        out = []
        e = _LogEntry()
        for i in range(start, int(self._lib.vsim_log_count())):
            if self._lib.vsim_log_get(i, ctypes.byref(e)) != 0:
                break
            out.append(
                Transfer(
                    seq=e.seq,
                    t_ns=e.t_ns,
                    thread=e.thread,
                    adapter=e.adapter,
                    kind="control" if e.kind == 0 else "bulk",
                    request_type=e.request_type,
                    request=e.request,
                    value=e.value,
                    index=e.index,
                    length=e.length,
                    endpoint=e.endpoint,
                    timeout_ms=e.timeout_ms,
                    result=e.result,
                    transferred=e.transferred,
                    data=bytes(e.data[: e.data_len]),
                )
            )
        return out

    def counters(self) -> dict[str, int]:
        """Live libusb objects: contexts, open handles, claimed interfaces, device references and
        (drop-in only) asynchronous transfers."""
        return {
            "contexts": self._lib.vsim_count_contexts(),
            "handles": self._lib.vsim_count_handles(),
            "claims": self._lib.vsim_count_claims(),
            "devices": self._lib.vsim_count_devices(),
            "transfers": self._lib.vsim_count_transfers(),
        }

    def wait_counters(self, timeout: float = 2.0, **expected: int) -> dict[str, int]:
        """The counters once those named reach the values given, or as they are after `timeout`.

        The drop-in counts synchronously. With emulated devices a closed file is seen a moment
        after the close returns (the testbed learns of it from its socket), so this waits."""
        deadline = time.monotonic() + timeout
        while True:
            now = self.counters()
            if all(now[k] == v for k, v in expected.items()) or time.monotonic() >= deadline:
                return now
            time.sleep(0.002)

    # --- helpers ----------------------------------------------------------------------------------
    @staticmethod
    def _buf(data: bytes) -> "ctypes.Array[ctypes.c_uint8]":
        return (ctypes.c_uint8 * max(len(data), 1)).from_buffer_copy(data or b"\0")

    @staticmethod
    def _check(rc: int) -> None:
        if rc != 0:
            raise IndexError("no simulated adapter with that index")
