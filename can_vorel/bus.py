"""VorelBus: python-can's BusABC over the native module vorel_pythoncan_ext."""

from __future__ import annotations

import atexit
import contextlib
import logging
import math
import sys
import threading
import time
import weakref
from collections.abc import Sequence
from typing import Any, Callable, Optional, Union

import can
from can import BusState, CanError, CanInitializationError, CanOperationError, CanTimeoutError, Message
from can.broadcastmanager import (
    LimitedDurationCyclicSendTaskABC,
    ModifiableCyclicTaskABC,
    RestartableCyclicTaskABC,
)
from can.typechecking import AutoDetectedConfig, CanFilters
from can.util import check_or_adjust_timing_clock

import vorel_pythoncan_ext as native

from can_vorel.protocol import (
    LIBUSB_ERROR_ACCESS,
    LIBUSB_ERROR_BUSY,
    LIBUSB_ERROR_NO_DEVICE,
    LIBUSB_ERROR_TIMEOUT,
    MODE_BERR_REPORTING,
    MODE_LISTEN_ONLY,
    MODE_LOOPBACK,
    STATE_ERROR_ACTIVE,
    STATE_ERROR_PASSIVE,
    STATE_ERROR_WARNING,
)

# What python-can calls the adapter's bus states (as its kvaser interface does); others are ERROR.
_STATES = {STATE_ERROR_ACTIVE: BusState.ACTIVE, STATE_ERROR_WARNING: BusState.ACTIVE,
           STATE_ERROR_PASSIVE: BusState.PASSIVE}

log = logging.getLogger("can.vorel")

# A sample point written this many percentage points away from the one asked is warned about.
_SAMPLE_POINT_WARN_PERCENT = 0.5

# The most bits a classic frame takes on the wire: extended, 8 bytes, every stuff bit.
_LONGEST_FRAME_BITS = 160

# Frames taken from the adapter's queue at open at most, whatever size it reports.
_STALE_READS_MAX = 65536

# USB reads the receiver keeps in flight unless told otherwise (bench/README.md: why 64).
DEFAULT_RX_TRANSFERS = 64

# How often the module reads the controller's state while the bus is open, for bus-off.
_WATCH_PERIOD_S = 0.2

# A bit rate is refused unless the adapter reaches it this closely (parts per million).
_BITRATE_TOLERANCE_PPM = 5000

# Received messages are built field by field when can.Message has exactly the fields this module
# knows; any other python-can version gets the ordinary constructor.
_MESSAGE_FIELDS = {"timestamp", "arbitration_id", "is_extended_id", "is_remote_frame", "is_error_frame", "channel",
                   "is_fd", "is_rx", "bitrate_switch", "error_state_indicator", "data", "dlc"}
_FAST_MESSAGE = set(getattr(Message, "__slots__", ())) - {"__weakref__"} == _MESSAGE_FIELDS

# Time-outs from here on are as good as none: the module's time-out is a 32-bit millisecond count.
_NO_LIMIT_S = (2**32 - 1) / 1000


def _checked_timeout(timeout: float) -> float:
    if math.isnan(timeout):
        raise ValueError("the timeout may not be NaN")
    return timeout


def _frame_tuple(msg: Message) -> tuple[int, bool, bool, bool, int, bytes]:
    return (msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.is_error_frame, msg.dlc,
            bytes(msg.data))


# Buses not shut down yet. A bus still open when the interpreter exits gets python-can's warning
# and is shut down while the interpreter can still do both: collected later, during the modules'
# teardown, python-can's own __del__ would fail on its logger, already gone, and print a traceback.
_open_buses: "weakref.WeakSet[VorelBus]" = weakref.WeakSet()


@atexit.register
def _shut_down_at_exit() -> None:
    for bus in list(_open_buses):
        if not bus._is_shutdown:
            logging.getLogger("can.bus").warning("%s was not properly shut down", type(bus).__name__)
            bus.shutdown()


_PERMISSION_REMEDY = (
    "Bind it to the WinUSB driver (with Zadig, or an INF naming WinUSB for 16c0:27d8)" if sys.platform == "win32"
    else "Install the udev rule shipped in udev/99-vorel-can.rules (sudo cp it to /etc/udev/rules.d/, then "
         "sudo udevadm control --reload && sudo udevadm trigger) and plug the adapter in again")


def _probes() -> list[dict[str, Any]]:
    """What opening each device with the adapter's ids answers (nothing is sent to them)."""
    try:
        return list(native._probe_adapters())
    except RuntimeError:
        return []


class VorelBus(can.BusABC):
    """A VOREL USB CAN adapter as a python-can bus.

    :param channel: the adapter's serial number (``VOR.EL:CAN`` followed by H, I or J and digits,
        as ``vorel-sim`` and :func:`can.detect_available_configs` list them); None or "" opens the
        only adapter attached.
    :param name: open the adapter by the name stored in it instead of by serial.
    :param bitrate: nominal bit rate in bit/s (default 500000); refused unless the adapter reaches
        it within 0.5 %, with the nearest rate it can reach in the message.
    :param sample_point: sample point in percent, 50 to 95 (default 87.5).
    :param timing: a :class:`can.BitTiming`, written exactly (its f_clock adjusted to the
        adapter's clock as python-can's ``check_or_adjust_timing_clock`` does); it replaces
        ``bitrate`` and ``sample_point``. CAN FD (``fd``, ``data_bitrate``, ``BitTimingFd``) is
        refused: the adapter has none.
    :param listen_only: never drive the bus (no ACKs, no frames sent); so does ``state=BusState.PASSIVE``.
    :param state: python-can's bus state to open in: ``BusState.PASSIVE`` is listen-only.
    :param berr_reporting: the controller reports bus errors, as error frames.
    :param loopback: the controller's loopback mode, a test mode: frames sent are also received.
    :param receive_own_messages: every frame :meth:`send` wrote comes back to this bus's own
        :meth:`recv` too, with ``is_rx=False``, in sending order, while it goes to the bus. Frames
        of native periodic tasks are not echoed.
    :param auto_reset: after a bus-off, switch the controller off and on again (counted in
        :meth:`get_stats`, announced by an error frame with ``CAN_ERR_RESTARTED``); :meth:`reset`
        does the same on demand.
    :param rx_queue_size: frames the native receiver may hold for :meth:`recv` (default 65536). The
        receiver is a thread of the module's that reads the adapter all the time, so that a
        garbage-collection pause or a slow callback loses no frame; when its queue is full the
        newest frames are dropped, counted in :attr:`rx_overruns` and reported once per episode
        as an error frame (SocketCAN's controller error, RX overflow). 0 reads only while
        :meth:`recv` runs, as python-can's simplest interfaces do.
    :param rx_transfers: USB reads the receiver keeps in flight, 1 to 256 (default 64). Each read
        brings at most two frames per USB round trip, so the receiver carries about
        ``2 * rx_transfers / L`` frames/s for a round trip of L seconds: 64 carry a full 1 Mbit/s
        bus where USB completes reads once per 1 ms frame (WinUSB, hubs).
    :param ignore_rx_error_frames: drop error frames, the adapter's and the host's own.

    :attr:`bit_timing` is the :class:`can.BitTiming` written to the adapter and read back (None
    for the slow rates whose prescaler python-can's BitTiming cannot hold).

    Timestamps are seconds since the epoch: the adapter's microsecond clock, mapped onto the
    host's monotonic clock (its offset and drift tracked), so that they keep the adapter's spacing
    and stay within a millisecond of the time each frame was read.

    While the bus is open its controller's state is read every 0.2 s: a bus-off comes out of
    :meth:`recv` as an error frame with ``CAN_ERR_BUSOFF`` in the identifier (SocketCAN's layout;
    it passes every filter, only ``ignore_rx_error_frames`` drops it).
    """

    def __init__(
        self,
        channel: Any = None,
        can_filters: Optional[CanFilters] = None,
        *,
        bitrate: int = 500000,
        sample_point: float = 87.5,
        timing: Optional[Union[can.BitTiming, can.BitTimingFd]] = None,
        fd: bool = False,
        data_bitrate: Optional[int] = None,
        name: Optional[str] = None,
        listen_only: bool = False,
        state: Optional[BusState] = None,
        berr_reporting: bool = False,
        loopback: bool = False,
        receive_own_messages: bool = False,
        auto_reset: bool = False,
        rx_queue_size: int = 65536,
        rx_transfers: int = DEFAULT_RX_TRANSFERS,
        ignore_rx_error_frames: bool = False,
        **kwargs: Any,
    ) -> None:
        if fd or data_bitrate is not None or isinstance(timing, can.BitTimingFd):
            raise CanInitializationError("CAN FD is not supported by this adapter (fd, data_bitrate, BitTimingFd)")
        if timing is None and not (isinstance(sample_point, (int, float)) and 50 <= sample_point <= 95):
            raise CanInitializationError(
                f"sample_point is in percent, from 50 to 95 (87.5 is common), not {sample_point!r}")
        if timing is None and (isinstance(bitrate, bool) or not isinstance(bitrate, int) or bitrate <= 0):
            raise CanInitializationError(f"bitrate must be a whole number of bit/s above 0, not {bitrate!r}")
        if isinstance(rx_queue_size, bool) or not isinstance(rx_queue_size, int) or rx_queue_size < 0:
            raise CanInitializationError(f"rx_queue_size must be a whole number of frames >= 0, not {rx_queue_size!r}")
        if isinstance(rx_transfers, bool) or not isinstance(rx_transfers, int) or not 1 <= rx_transfers <= 256:
            raise CanInitializationError(f"rx_transfers is the number of USB reads in flight, 1 to 256, not {rx_transfers!r}")
        # python-can's command-line tools turn a numeric-looking channel into an int.
        serial = "" if channel is None else str(channel)
        self._ignore_errors = bool(ignore_rx_error_frames)
        self._echo = bool(receive_own_messages)
        self._auto_reset = bool(auto_reset)
        self._final_stats: Optional[dict[str, int]] = None
        self._receiver = rx_queue_size > 0
        self._mode = (
            (MODE_LISTEN_ONLY if listen_only or state == BusState.PASSIVE else 0)
            | (MODE_LOOPBACK if loopback else 0)
            | (MODE_BERR_REPORTING if berr_reporting else 0)
        )
        self.serial = serial
        self._name = name
        # The module's error of the first call that learnt the adapter is gone; read without a lock.
        self._unplugged: Optional[RuntimeError] = None
        self._dev: Optional[native.NativeVorelDevice] = None
        try:
            dev = native.NativeVorelDevice.open_by_name(name) if name else native.NativeVorelDevice(serial)
        except RuntimeError as e:
            raise CanInitializationError(self._open_failure(e, serial, name)) from e
        try:
            tx_queue = self._discard_stale(dev)
            self.bit_timing = self._configure_timing(dev, bitrate, sample_point, timing)
            # How long the adapter's transmit queue, full, takes to leave at this bit rate (twice,
            # for arbitration lost to other nodes): shutdown() waits that long at most for the
            # frames sent last.
            rate = timing.bitrate if timing is not None else bitrate
            self._drain_timeout = 2 * (tx_queue + 1) * _LONGEST_FRAME_BITS / rate + 0.05
            dev.set_mode(self._mode)
            dev.set_bus_state(True)
            if self._receiver:
                dev._start_receiver(rx_queue_size, rx_transfers)
            dev._start_watch(_WATCH_PERIOD_S, self._auto_reset)
        except BaseException as e:
            dev._release()  # the adapter is free again before the error leaves
            if isinstance(e, (RuntimeError, TypeError, ValueError, OverflowError)):
                raise CanInitializationError(f"Failed to configure the adapter: {e}") from e
            raise
        self._dev = dev
        self._is_shutdown = False  # the device is ours to shut down from here on
        self.serial = self._serial_of(serial, name)
        self.channel_info = f"VOREL USB CAN {self.serial}" if self.serial else "VOREL USB CAN"
        self.channel = channel if channel not in (None, "") else self.serial
        if _FAST_MESSAGE:
            # Frames come out of the module as messages already, built as recv builds them from tuples.
            dev._use_messages(Message, self.channel)
        try:
            super().__init__(channel=self.channel, can_filters=can_filters, **kwargs)
        except BaseException:
            dev._release()
            self._is_shutdown = True
            raise
        _open_buses.add(self)

    @staticmethod
    def _open_failure(e: RuntimeError, serial: str, name: Optional[str]) -> str:
        """What went wrong opening an adapter, for a person."""
        kind = getattr(e, "kind", None)
        try:
            attached = ", ".join(sorted(native.list_devices())) or "none"
        except RuntimeError:
            attached = "unknown"
        if kind == "DeviceNotFound":
            if name:
                return f"No VOREL adapter named {name!r} (attached: {attached})"
            if serial:
                return f"No VOREL adapter with serial {serial} (attached: {attached})"
            return "No VOREL adapter is attached"
        if kind == "MultipleDevicesFound":
            what = f"named {name!r}" if name else "attached"
            return f"Several VOREL adapters are {what} ({attached}): give the serial of one as the channel"
        adapter = f"The VOREL adapter {serial or name}" if serial or name else "The VOREL adapter"
        if kind == "DeviceInUse":
            # Opening one of the adapters failed: say which and why, as libusb answered it.
            probes = _probes()  # one scan of the USB for both questions
            denied = [p for p in probes if p["open"] == LIBUSB_ERROR_ACCESS]
            readable = {p["serial"] for p in probes if p["serial"]}
            if denied and not (serial and serial in readable):
                where = ", ".join(f"bus {p['bus']} address {p['address']}" for p in denied)
                first = (f"No VOREL adapter with serial {serial} among those that could be opened (attached: "
                         f"{attached}); " if serial else f"{adapter} cannot be opened: ")
                return f"{first}permission was denied for the one at {where}. {_PERMISSION_REMEDY}"
        if kind == "DeviceInUse" or getattr(e, "libusb_code", None) == LIBUSB_ERROR_BUSY:
            if (serial or name) and any(b.serial == serial or (name and b._name == name) for b in list(_open_buses)):
                return f"{adapter} is in use by this program: another bus of it has it open (shut that one down first)"
            return f"{adapter} is in use by another program"
        return f"{adapter} could not be opened: {e}"

    @staticmethod
    def _discard_stale(dev: native.NativeVorelDevice) -> int:
        """Frames still in the adapter's queue belong to whoever used it before (a program that was
        killed, or never switched the bus off): they go unread, so that neither they nor their
        timestamps from another session reach this bus. The bus is switched off first, so that the
        queue can only empty; each read takes up to two frames, and one more finds it empty."""
        dev.set_bus_state(False)
        caps = dev.get_device_capabilities()
        for _ in range(min(int(caps["rx_data_buffer_size"]), _STALE_READS_MAX) + 2):
            if dev.receive_frame(1) is None:
                break
        return int(caps["tx_data_buffer_size"])  # the transmit queue, for shutdown's drain

    @staticmethod
    def _configure_timing(dev: native.NativeVorelDevice, bitrate: int, sample_point: float,
                          timing: Optional[can.BitTiming]) -> Optional[can.BitTiming]:
        """Writes the bit timing, verified by reading it back; returns it as python-can's BitTiming."""
        if timing is not None:
            timing = check_or_adjust_timing_clock(timing, [dev._timing_limits()["f_clock"]])
            try:
                dev._set_bit_timing(timing.brp, timing.tseg1, timing.tseg2, timing.sjw)
            except RuntimeError as e:
                raise CanInitializationError(f"The adapter cannot use {timing!r}: {e}") from e
            return timing
        # The sample point nearest the one asked, above or below it, to the full precision asked.
        found, nearest = dev._calc_bit_timing(int(bitrate), int(round(sample_point * 10000)), _BITRATE_TOLERANCE_PPM)
        if found is None:
            near = f"the nearest it reaches is {nearest} bit/s" if nearest else "it reaches none near it"
            raise CanInitializationError(f"The adapter cannot run at {bitrate} bit/s within 0.5 %: {near}")
        written = dev._set_bit_timing(found["brp"], found["tseg1"], found["tseg2"], found["sjw"])
        reached = 100 * (written["tseg1"] + 1) / (written["tseg1"] + written["tseg2"] + 1)
        if abs(reached - sample_point) > _SAMPLE_POINT_WARN_PERCENT:
            log.warning("The adapter cannot sample at %g %% at %d bit/s; the nearest sample point, %g %%, was written",
                        sample_point, written["bitrate"], round(reached, 4))
        try:
            return can.BitTiming(f_clock=written["f_clock"], brp=written["brp"], tseg1=written["tseg1"],
                                 tseg2=written["tseg2"], sjw=written["sjw"])
        except ValueError:
            return None  # beyond what python-can's BitTiming holds (a prescaler above 64: slow rates)

    @staticmethod
    def _serial_of(serial: str, name: Optional[str]) -> str:
        if serial:
            return serial
        found = native.list_devices()
        return found[0] if len(found) == 1 and not name else (name or "")

    # --- access to the native device -------------------------------------------------------------
    def _device(self) -> native.NativeVorelDevice:
        dev = self._dev
        if dev is None or self._is_shutdown:
            raise CanOperationError("The bus has been shut down")
        return dev

    def _failure(self, e: RuntimeError) -> CanError:
        """The python-can error for a failure of the module, told apart by its kind, not its text."""
        code = getattr(e, "libusb_code", None)
        if getattr(e, "kind", None) == "NotOpen" or self._is_shutdown:
            return CanOperationError("The bus has been shut down")
        if code == LIBUSB_ERROR_NO_DEVICE:
            self._unplugged = self._unplugged or e
            return CanOperationError(f"Adapter {self.serial} was unplugged")
        if code == LIBUSB_ERROR_TIMEOUT:
            return CanTimeoutError(f"The adapter's transmit queue stayed full until the time-out: {e}")
        return CanOperationError(str(e))

    # --- frames ------------------------------------------------------------------------------------
    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        """Writes `msg` to the adapter, waiting up to `timeout` seconds (None: no limit) for room in
        its transmit queue. What python-can's Message checks refuse raises ValueError, unsent."""
        dev = self._dev
        if dev is None or self._is_shutdown:
            raise CanOperationError("The bus has been shut down")
        if self._mode & MODE_LISTEN_ONLY:
            raise CanOperationError("The bus is in listen-only mode (BusState.PASSIVE): it sends nothing")
        try:
            dev._send(msg, timeout, self._echo)
        except RuntimeError as e:
            raise self._failure(e) from e

    def recv(self, timeout: Optional[float] = None) -> Optional[Message]:
        """Wait for a message, up to `timeout` seconds (None: until one comes or the bus shuts down).

        The filters run inside the module, so python-can's own filter pass is skipped. With the
        receiver, messages come out in the order the adapter delivered them, whichever thread
        takes them.
        """
        dev = self._dev
        if dev is None or self._is_shutdown:
            raise CanOperationError("The bus has been shut down")
        if timeout is not None and _checked_timeout(timeout) >= _NO_LIMIT_S:
            timeout = None
        try:
            # The module's queue is the only one: whichever thread takes the next frame, each
            # thread's frames come in the adapter's order.
            got = dev._recv(timeout, self._ignore_errors)
        except RuntimeError as e:
            if self._is_shutdown:
                return None  # shut down by another thread while this one waited
            raise self._failure(e) from e
        if got is None or type(got) is Message:
            return got
        stamp, arb_id, is_ext, is_rtr, is_err, dlc, data, is_rx = got
        return Message(timestamp=stamp, arbitration_id=arb_id, is_extended_id=is_ext, is_remote_frame=is_rtr,
                       is_error_frame=is_err, dlc=dlc, data=data, is_rx=is_rx, channel=self.channel, check=False)

    def _recv_internal(self, timeout: Optional[float]) -> tuple[Optional[Message], bool]:
        return self.recv(timeout), True

    @property
    def rx_overruns(self) -> int:
        """Frames the receiver dropped because its queue was full (0 without the receiver)."""
        return self.rx_stats()["overruns"]

    def rx_stats(self) -> dict[str, int]:
        """Frames this bus sent (`sent`) and recv handed out (`handed_out`); the receiver's
        counters: frames it received and dropped for a full queue (`overruns`),
        the most it held at once (`high_water`), its `capacity`, what is `queued` now, and its USB
        reads: `transfers_in_flight` now and the most at once (`max_transfers_in_flight`)."""
        if self._final_stats is not None:
            return dict(self._final_stats)
        return dict(self._call(lambda d: d._stats()))

    def fileno(self) -> int:
        """A descriptor that is readable while messages are waiting, for asyncio's add_reader."""
        fd = self._device()._fileno() if self._receiver else -1
        if fd < 0:
            raise NotImplementedError("fileno is available with the receiver (rx_queue_size > 0) on POSIX systems")
        return int(fd)

    def _apply_filters(self, filters: Optional[CanFilters]) -> None:
        if self._dev is None:
            return  # python-can's constructor sets them before the device is ours: see __init__
        if not filters:
            self._call(lambda d: d.clear_filters())
            return
        listed = []
        for f in filters:
            can_id, can_mask = f["can_id"], f["can_mask"]
            for what, value in (("can_id", can_id), ("can_mask", can_mask)):
                if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0x1FFFFFFF:
                    raise ValueError(f"a filter's {what} is an identifier or mask of up to 29 bits "
                                     f"(0 to 0x1FFFFFFF), not {value!r}")
            listed.append((can_id, can_mask, f.get("extended")))
        self._call(lambda d: d.set_filters(listed))

    def flush_tx_buffer(self) -> None:
        self._call(lambda d: d.flush_tx_queue())

    # --- periodic ------------------------------------------------------------------------------------
    def _send_periodic_internal(
        self,
        msgs: Union[Sequence[Message], Message],
        period: float,
        duration: Optional[float] = None,
        autostart: bool = True,
        modifier_callback: Optional[Callable[[Message], None]] = None,
    ) -> can.broadcastmanager.CyclicSendTaskABC:
        # What the native worker can do: periods of whole microseconds, finite; durations finite
        # and positive (None for no limit). Rounding must not turn a period into 0 (back to back).
        if not (isinstance(period, (int, float)) and math.isfinite(period) and period >= 1e-6):
            raise ValueError(f"the period must be a finite number of seconds, at least 1 µs (1e-6), not {period!r}")
        if duration is not None and not (isinstance(duration, (int, float)) and math.isfinite(duration)
                                         and duration > 0):
            raise ValueError(f"the duration must be None (no limit) or a finite number of seconds above 0, "
                             f"not {duration!r}")
        if self._is_shutdown:
            # Else python-can's shutdown, stopping the tasks it knows one by one, could meet new
            # ones for as long as other threads add them.
            raise CanOperationError("The bus has been shut down")
        if modifier_callback is not None:
            # A callback must run before every send: that is python-can's software task's job.
            return super()._send_periodic_internal(msgs, period, duration, autostart, modifier_callback)
        return VorelCyclicTask(self, msgs, period, duration, autostart)

    # --- state and extras -------------------------------------------------------------------------------
    @property
    def state(self) -> BusState:
        """As python-can's kvaser interface maps the controller's state: ERROR when it is bus-off or
        stopped, PASSIVE while it is error-passive or the bus is listen-only, ACTIVE while it is
        error-active or warning. Setting PASSIVE switches to listen-only, ACTIVE back."""
        state, _rx, _tx = self._call(lambda d: d.get_bus_state())
        mapped = _STATES.get(state, BusState.ERROR)
        if mapped == BusState.ACTIVE and self._mode & MODE_LISTEN_ONLY:
            return BusState.PASSIVE
        return mapped

    @state.setter
    def state(self, new_state: BusState) -> None:
        if new_state not in (BusState.ACTIVE, BusState.PASSIVE):
            raise ValueError(f"the bus state can be set to BusState.ACTIVE or BusState.PASSIVE (listen-only), "
                             f"not {new_state!r}")
        mode = self._mode | MODE_LISTEN_ONLY if new_state == BusState.PASSIVE else self._mode & ~MODE_LISTEN_ONLY

        def apply(d: native.NativeVorelDevice) -> None:
            d.set_bus_state(False)
            d.set_mode(mode)
            d.set_bus_state(True)

        self._call(apply)
        self._mode = mode

    def get_stats(self) -> dict[str, int]:
        """Counters of this bus: frames its :meth:`send` wrote (``frames_sent``) and its :meth:`recv`
        handed out (``frames_received``), frames lost for a full receive queue (``rx_overruns``),
        restarts after bus-off (``bus_off_recoveries``) and those of ``auto_reset`` that failed (each
        tried again at the next reading: ``bus_off_restart_failures``), and the controller's error
        counters as read now (``tx_error_count``, ``rx_error_count``)."""
        rx = self.rx_stats()
        tx_errors, rx_errors = self.error_counters()
        watch = self._call(lambda d: d._watch_stats())
        return {"frames_sent": rx["sent"], "frames_received": rx["handed_out"], "rx_overruns": rx["overruns"],
                "bus_off_recoveries": watch["bus_off_recoveries"],
                "bus_off_restart_failures": watch["failed_restarts"], "tx_error_count": tx_errors,
                "rx_error_count": rx_errors}

    def reset(self) -> None:
        """Switches the controller off and on again, which ends a bus-off; counted in
        ``bus_off_recoveries`` and announced by an error frame with ``CAN_ERR_RESTARTED``. While
        another thread restarts the controller already, this returns when that restart is done."""
        self._call(lambda d: d._restart())

    def error_counters(self) -> tuple[int, int]:
        """The controller's (transmit, receive) error counters."""
        _state, rx, tx = self._call(lambda d: d.get_bus_state())
        return tx, rx

    @property
    def led_mode(self) -> int:
        """0 off, 1 on, 2 active only, 3 TX off, 4 RX off."""
        return int(self._call(lambda d: d.get_led_mode()))

    @led_mode.setter
    def led_mode(self, mode: int) -> None:
        if isinstance(mode, bool) or not isinstance(mode, int) or not 0 <= mode <= 4:
            raise ValueError(f"the LED mode must be 0, 1, 2, 3 or 4, not {mode!r}")
        self._call(lambda d: d.set_led_mode(mode))

    @property
    def device_name(self) -> str:
        """The short name stored in the adapter (up to 15 letters, digits, '_' and '-')."""
        return str(self._call(lambda d: d.get_device_name()))

    @device_name.setter
    def device_name(self, name: str) -> None:
        if not (isinstance(name, str) and len(name.encode()) <= 15 and all(
                c.isascii() and (c.isalnum() or c in "_-") for c in name)):
            raise ValueError(f"a device name is up to 15 ASCII letters, digits, '_' and '-', not {name!r}")
        self._call(lambda d: d.set_device_name(name))

    @property
    def versions(self) -> dict[str, Any]:
        """Hardware and firmware versions and the number of channels."""
        hw, fw, channels = self._call(lambda d: d.get_device_info())
        return {"hardware": hw, "firmware": fw, "channels": channels}

    @property
    def capabilities(self) -> dict[str, int]:
        """The adapter's raw capabilities (clock, buffer sizes, supported modes, features)."""
        return dict(self._call(lambda d: d.get_device_capabilities()))

    def _call(self, fn: Callable[[native.NativeVorelDevice], Any]) -> Any:
        try:
            return fn(self._device())
        except RuntimeError as e:
            raise self._failure(e) from e

    @staticmethod
    def _detect_available_configs() -> list[AutoDetectedConfig]:
        """Every attached adapter by serial, with its stored name and versions where it can be
        opened (one another process holds is listed by its serial alone)."""
        try:
            serials = sorted(native.list_devices())
        except RuntimeError:
            return []
        configs: list[AutoDetectedConfig] = []
        # Adapters that would not open are listed too, with the reason, at their place on the USB.
        for p in _probes():
            if p["open"] != 0:
                reason = "permission denied" if p["open"] == LIBUSB_ERROR_ACCESS else f"libusb error {p['open']}"
                configs.append({"interface": "vorel", "channel": "", "supports_fd": False,  # type: ignore[typeddict-unknown-key]
                                "unavailable": f"{reason} (bus {p['bus']} address {p['address']})"})
        for serial in serials:
            config: dict[str, Any] = {"interface": "vorel", "channel": serial, "supports_fd": False}
            try:
                dev = native.NativeVorelDevice(serial)
            except RuntimeError:
                configs.append(config)  # type: ignore[arg-type]
                continue
            try:
                config["name"] = dev.get_device_name()
                config["hardware_version"], config["firmware_version"], _channels = dev.get_device_info()
            except RuntimeError:
                pass
            finally:
                dev._release()
            configs.append(config)  # type: ignore[arg-type]
        return configs

    def shutdown(self) -> None:
        """Stops every task of this bus and releases the adapter, which can be opened again as soon
        as this returns (also while other threads wait in recv or send, which then return None or
        raise). Frames sent last are given their time on the wire first (at most twice what the
        adapter's full transmit queue takes at the bit rate; a warning says how many may not have
        left when that was not enough)."""
        dev = self._dev
        if dev is None:
            return  # never opened
        if self._is_shutdown:
            dev._shut_down(0)  # returns once the shutdown under way has released the adapter
            return
        # python-can's shutdown is this flag, then a stop of its tasks one at a time: the flag
        # first, so that send_periodic refuses new tasks from here on.
        self._is_shutdown = True
        try:
            # Every native task at once (each one's write in progress delays its stop by at most
            # that write's 50 ms), and a recv waiting in another thread returns None now; then
            # python-can's software tasks, which find the native ones stopped. A shutdown racing
            # this one may find the device released already.
            with contextlib.suppress(RuntimeError):
                dev._interrupt()
                dev.stop_all_periodic()
            self.stop_all_periodic_tasks()
        finally:
            # Any task a racing send_periodic started meanwhile stops too.
            left, self._final_stats = dev._shut_down(self._drain_timeout)
        if left:
            log.warning("%s: %d frame(s) sent last may not have reached the bus when it was switched off",
                        self.channel_info, left)


class VorelCyclicTask(LimitedDurationCyclicSendTaskABC, ModifiableCyclicTaskABC, RestartableCyclicTaskABC):
    """A periodic transmission run by the adapter's native send worker."""

    def __init__(
        self,
        bus: VorelBus,
        messages: Union[Sequence[Message], Message],
        period: float,
        duration: Optional[float] = None,
        autostart: bool = True,
    ) -> None:
        super().__init__(messages, period, duration)
        for m in self.messages:
            if m.is_fd:
                raise ValueError("CAN FD frames are not supported by this adapter")
        self._bus = bus
        self._task_id: Optional[int] = None
        self._lock = threading.Lock()
        if autostart:
            self.start()

    def _frames(self) -> list[tuple[int, bool, bool, bool, int, bytes]]:
        return [_frame_tuple(m) for m in self.messages]

    def start(self) -> None:
        with self._lock:
            if self._task_id is not None:
                if self.duration is None or self.end_time is None or time.perf_counter() < self.end_time:
                    return  # running
                # Its duration is over: the native worker has ended; start it again.
                task_id, self._task_id = self._task_id, None
                dev = self._bus._dev
                if dev is not None:
                    try:
                        dev.stop_periodic(task_id)
                    except RuntimeError:
                        pass
            period_us = max(0, round(self.period * 1e6))
            duration_ms = None if self.duration is None else max(0, round(self.duration * 1000))
            try:
                # After a bus-off or a stalled host it goes on from now: a burst of stale frames
                # is what a real bus must not get.
                self._task_id = self._bus._device()._start_periodic(self._frames(), period_us, duration_ms)
            except RuntimeError as e:
                raise self._bus._failure(e) from e
            if self.duration is not None:
                self.end_time = time.perf_counter() + self.duration

    def stop(self) -> None:
        with self._lock:
            task_id, self._task_id = self._task_id, None
        if task_id is None:
            return
        dev = self._bus._dev
        if dev is None:
            return  # the bus was shut down, which stopped every task
        try:
            dev.stop_periodic(task_id)
        except RuntimeError:
            pass  # stopped already, by stop_all_periodic during shutdown

    def modify_data(self, messages: Union[Sequence[Message], Message]) -> None:
        if self._bus._unplugged is not None:
            # The native task takes new frames without the adapter; say what every other call says.
            raise CanOperationError(f"Adapter {self._bus.serial} was unplugged") from self._bus._unplugged
        super().modify_data(messages)
        with self._lock:
            task_id = self._task_id
        if task_id is not None:
            try:
                self._bus._device().modify_periodic(task_id, self._frames())
            except RuntimeError as e:
                raise self._bus._failure(e) from e
