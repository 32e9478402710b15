"""VorelBus: python-can's BusABC over the native module vorel_pythoncan_ext."""

from __future__ import annotations

import collections
import math
import threading
import time
from collections.abc import Sequence
from typing import Any, Callable, Optional, Union

import can
from can import BusState, CanInitializationError, CanOperationError, CanTimeoutError, Message
from can.broadcastmanager import (
    LimitedDurationCyclicSendTaskABC,
    ModifiableCyclicTaskABC,
    RestartableCyclicTaskABC,
)
from can.typechecking import AutoDetectedConfig, CanFilters

import vorel_pythoncan_ext as native

# Controller mode bits of the adapter (the Linux CAN_CTRLMODE_* assignment).
MODE_LOOPBACK = 0x01
MODE_LISTEN_ONLY = 0x02
MODE_TRIPLE_SAMPLING = 0x04
MODE_ONE_SHOT = 0x08
MODE_BERR_REPORTING = 0x10
MODE_FD = 0x20

# The adapter's bus state numbers, and what python-can calls them.
_STATES = {0: BusState.ACTIVE, 1: BusState.ACTIVE, 2: BusState.PASSIVE}

# Without the receiver a blocking read cannot be interrupted: it waits in slices this long, so
# that shutdown() ends it promptly. With the receiver, shutdown() wakes every waiter at once.
_RECV_SLICE_S = 0.1

# The error frame the host makes up when frames were lost: SocketCAN's layout, which loggers know.
CAN_ERR_CRTL = 0x4
CAN_ERR_CRTL_RX_OVERFLOW = 0x01
CAN_ERR_DLC = 8

# The longest shutdown() waits for frames sent last to leave the adapter.
_DRAIN_MAX_S = 0.1

# Received messages are built field by field when can.Message has exactly the fields this module
# knows; any other python-can version gets the ordinary constructor.
_MESSAGE_FIELDS = {"timestamp", "arbitration_id", "is_extended_id", "is_remote_frame", "is_error_frame", "channel",
                   "is_fd", "is_rx", "bitrate_switch", "error_state_indicator", "data", "dlc"}
_FAST_MESSAGE = set(getattr(Message, "__slots__", ())) - {"__weakref__"} == _MESSAGE_FIELDS
_new_message = Message.__new__


def _timeout_ms(timeout: Optional[float]) -> int:
    """Seconds to the module's milliseconds; None and infinity wait without limit (the module's 0)."""
    if timeout is None:
        return 0
    timeout = _checked_timeout(timeout)
    if timeout >= _NO_LIMIT_S:
        return 0
    # The module reads 0 as "no limit": a zero, negative or tiny time-out becomes the shortest real one.
    return max(1, math.ceil(timeout * 1000))


# Time-outs from here on are as good as none: the module's time-out is a 32-bit millisecond count.
_NO_LIMIT_S = (2**32 - 1) / 1000


def _checked_timeout(timeout: float) -> float:
    if math.isnan(timeout):
        raise ValueError("the timeout may not be NaN")
    return timeout


def _check_frame(msg: Message) -> None:
    """What python-can's Message checks refuse, refused before anything is written, in its words."""
    if msg.arbitration_id < 0:
        raise ValueError("arbitration IDs may not be negative")
    if msg.is_extended_id:
        if msg.arbitration_id >= 0x20000000:
            raise ValueError("Extended arbitration IDs must be less than 2^29")
    elif msg.arbitration_id >= 0x800:
        raise ValueError("Normal arbitration IDs must be less than 2^11")
    if msg.dlc < 0:
        raise ValueError("DLC may not be negative")
    length = msg.dlc if msg.is_remote_frame else max(msg.dlc, len(msg.data))
    if length > 8:
        raise ValueError(f"DLC was {length} but it should be <= 8 for normal CAN frames")


def _frame_bits(msg: Message) -> float:
    """A frame's length on the wire, its stuff bits at worst included."""
    bits = (67 if msg.is_extended_id else 47) + (0 if msg.is_remote_frame else 8 * min(msg.dlc, 8))
    return bits * 1.2


def _frame_tuple(msg: Message) -> tuple[int, bool, bool, bool, int, bytes]:
    return (msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.is_error_frame, msg.dlc,
            bytes(msg.data))


class VorelBus(can.BusABC):
    """A VOREL USB CAN adapter as a python-can bus.

    :param channel: the adapter's serial number; None or "" opens the only adapter attached.
    :param name: open the adapter by the name stored in it instead of by serial.
    :param bitrate: nominal bit rate in bit/s (default 500000).
    :param sample_point: sample point in percent (default 87.5).
    :param timing: a :class:`can.BitTiming`, used by its bit rate and sample point.
    :param listen_only: never drive the bus (no ACKs, no frames sent); so does ``state=BusState.PASSIVE``.
    :param berr_reporting: the controller reports bus errors, as error frames.
    :param loopback: the controller's loopback mode.
    :param receive_own_messages: deliver frames this bus sent to its own receive queue.
    :param rx_queue_size: frames the native receiver may hold for :meth:`recv` (default 65536). The
        receiver is a thread of the module's that reads the adapter all the time, so that a
        garbage-collection pause or a slow callback loses no frame; when its queue is full the
        newest frames are dropped, counted in :attr:`rx_overruns` and reported once per episode
        as an error frame (SocketCAN's controller error, RX overflow). 0 reads only while
        :meth:`recv` runs, as python-can's simplest interfaces do.
    :param ignore_rx_error_frames: drop error frames, the adapter's and the host's own.

    Timestamps are seconds since the epoch: the adapter's microsecond clock, mapped onto the
    host's monotonic clock (its offset and drift tracked), so that they keep the adapter's spacing
    and stay within a millisecond of the time each frame was read.
    """

    def __init__(
        self,
        channel: Any = None,
        can_filters: Optional[CanFilters] = None,
        *,
        bitrate: int = 500000,
        sample_point: float = 87.5,
        timing: Optional[can.BitTiming] = None,
        name: Optional[str] = None,
        listen_only: bool = False,
        state: Optional[BusState] = None,
        berr_reporting: bool = False,
        loopback: bool = False,
        receive_own_messages: bool = False,
        rx_queue_size: int = 65536,
        ignore_rx_error_frames: bool = False,
        **kwargs: Any,
    ) -> None:
        # python-can's command-line tools turn a numeric-looking channel into an int.
        serial = "" if channel is None else str(channel)
        self._lock = threading.Lock()
        self._closed = False  # set once by shutdown(); read without a lock
        self._ignore_errors = bool(ignore_rx_error_frames)
        self._final_stats: Optional[dict[str, int]] = None
        if isinstance(rx_queue_size, bool) or not isinstance(rx_queue_size, int) or rx_queue_size < 0:
            raise CanInitializationError(f"rx_queue_size must be a whole number of frames >= 0, not {rx_queue_size!r}")
        self._receiver = rx_queue_size > 0
        # Frames fetched from the module and not yet handed out, oldest first; filled by one
        # thread at a time (the one holding _fetching), emptied by any.
        self._pending: collections.deque[Union[Message, tuple[Any, ...]]] = collections.deque()
        self._fetching = threading.Lock()
        self._batch = 64  # frames a fetch takes at most; 1 once fileno() is in use
        self._bitrate = 500000  # the bit rate set, once the adapter is configured
        self._drained_at = 0.0  # monotonic time by which the frames sent can have left the adapter
        self._mode = (
            (MODE_LISTEN_ONLY if listen_only or state == BusState.PASSIVE else 0)
            | (MODE_LOOPBACK if loopback or receive_own_messages else 0)
            | (MODE_BERR_REPORTING if berr_reporting else 0)
        )
        if timing is not None:
            if isinstance(timing, can.BitTimingFd):
                raise CanInitializationError("CAN FD bit timings are not supported by this adapter")
            bitrate, sample_point = timing.bitrate, timing.sample_point
        self._dev: Optional[native.NativeVorelDevice] = None
        try:
            dev = native.NativeVorelDevice.open_by_name(name) if name else native.NativeVorelDevice(serial)
        except RuntimeError as e:
            raise CanInitializationError(str(e)) from e
        try:
            dev.set_bitrate(int(bitrate), int(round(float(sample_point) * 10)))
            dev.set_mode(self._mode)
            dev.set_bus_state(True)
            if self._receiver:
                dev._start_receiver(rx_queue_size)
        except (RuntimeError, TypeError, ValueError, OverflowError) as e:
            del dev  # releases the adapter before the error leaves
            raise CanInitializationError(f"Failed to configure the adapter: {e}") from e
        self._dev = dev
        self._bitrate = int(bitrate)
        self.serial = self._serial_of(serial, name)
        self.channel_info = f"VOREL USB CAN {self.serial}" if self.serial else "VOREL USB CAN"
        self.channel = channel if channel not in (None, "") else self.serial
        if _FAST_MESSAGE:
            # Frames come out of the module as messages already, built as _message builds them.
            dev._use_messages(Message, self.channel)
        super().__init__(channel=self.channel, can_filters=can_filters, **kwargs)

    @staticmethod
    def _serial_of(serial: str, name: Optional[str]) -> str:
        if serial:
            return serial
        found = native.list_devices()
        return found[0] if len(found) == 1 and not name else (name or "")

    # --- access to the native device -------------------------------------------------------------
    def _device(self) -> native.NativeVorelDevice:
        dev = self._dev
        if dev is None or self._closed:
            raise CanOperationError("The bus has been shut down")
        return dev

    # --- frames ------------------------------------------------------------------------------------
    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        if msg.is_fd:
            raise CanOperationError("CAN FD frames are not supported by this adapter")
        _check_frame(msg)
        dev = self._device()
        if self._mode & MODE_LISTEN_ONLY:
            raise CanOperationError("The bus is in listen-only mode (BusState.PASSIVE): it sends nothing")
        try:
            dev.send_frame(*_frame_tuple(msg), _timeout_ms(timeout))
        except RuntimeError as e:
            if "Operation timed out" in str(e):
                raise CanTimeoutError(str(e)) from e
            raise CanOperationError(str(e)) from e
        # When what was written so far can have left the adapter's queue, for shutdown().
        now = time.monotonic()
        self._drained_at = min(max(self._drained_at, now) + _frame_bits(msg) / self._bitrate, now + _DRAIN_MAX_S)

    def recv(self, timeout: Optional[float] = None) -> Optional[Message]:
        """Wait for a message, up to `timeout` seconds (None: until one comes or the bus shuts down).

        The filters run inside the module, so python-can's own filter pass is skipped. With the
        receiver, messages come out in the order the adapter delivered them, whichever thread
        takes them.
        """
        dev = self._dev
        if dev is None or self._closed:
            raise CanOperationError("The bus has been shut down")
        pending = self._pending
        if timeout is not None and _checked_timeout(timeout) >= _NO_LIMIT_S:
            timeout = None
        deadline = -1.0  # not taken yet: only a call that has to wait reads the clock
        while True:
            while pending:
                try:
                    item = pending.popleft()
                except IndexError:
                    break  # another thread took the last one
                msg = self._message(item)
                if msg is not None:
                    return msg
            if deadline < 0:
                deadline = math.inf if timeout is None else time.monotonic() + max(0.0, timeout)
            if not self._fetch(dev, deadline) and (
                self._closed or self._receiver or time.monotonic() >= deadline
            ):
                return None

    def _fetch(self, dev: native.NativeVorelDevice, deadline: float) -> bool:
        """Moves what the module has (up to a batch) to the pending queue, waiting until
        `deadline` for it; False when nothing came. One thread fetches at a time, so that the
        queue keeps the adapter's order."""
        left = deadline - time.monotonic()
        if not self._fetching.acquire(timeout=-1 if left == math.inf else max(0.0, left)):
            return False
        try:
            if self._pending:
                return True  # fetched by the thread this one waited for
            left = deadline - time.monotonic()
            wait: Optional[float] = None if left == math.inf else max(0.0, left)
            if not self._receiver:
                # A read this thread makes itself cannot be interrupted: wait in slices.
                wait = _RECV_SLICE_S if wait is None else min(_RECV_SLICE_S, wait)
            got = dev._receive(wait, self._batch)
        except RuntimeError as e:
            if self._closed:
                return False  # shut down by another thread while this one waited
            raise CanOperationError(str(e)) from e
        finally:
            self._fetching.release()
        self._pending.extend(got)
        return bool(got)

    def _recv_internal(self, timeout: Optional[float]) -> tuple[Optional[Message], bool]:
        return self.recv(timeout), True

    def _message(self, item: Union[Message, tuple[Any, ...]]) -> Optional[Message]:
        if isinstance(item, Message):
            return None if self._ignore_errors and item.is_error_frame else item
        if len(item) == 2:
            # Frames were lost here: the mark of an overrun, as the error frame SocketCAN sends.
            if self._ignore_errors:
                return None
            data = bytearray(CAN_ERR_DLC)
            data[1] = CAN_ERR_CRTL_RX_OVERFLOW
            return Message(timestamp=item[0], arbitration_id=CAN_ERR_CRTL, is_error_frame=True, is_extended_id=False,
                           dlc=CAN_ERR_DLC, data=data, is_rx=True, channel=self.channel, check=False)
        stamp, arb_id, is_ext, is_rtr, is_err, dlc, data = item
        if is_err and self._ignore_errors:
            return None
        if not _FAST_MESSAGE:
            return Message(timestamp=stamp, arbitration_id=arb_id, is_extended_id=is_ext, is_remote_frame=is_rtr,
                           is_error_frame=is_err, dlc=dlc, data=data, is_rx=True, channel=self.channel, check=False)
        # The same fields Message.__init__ would set, without its argument handling (half the cost).
        msg = _new_message(Message)
        msg.timestamp = stamp
        msg.arbitration_id = arb_id
        msg.is_extended_id = is_ext
        msg.is_remote_frame = is_rtr
        msg.is_error_frame = is_err
        msg.channel = self.channel
        msg.is_fd = False
        msg.is_rx = True
        msg.bitrate_switch = False
        msg.error_state_indicator = False
        msg.data = bytearray() if is_rtr else bytearray(data)
        msg.dlc = dlc
        return msg

    @property
    def rx_overruns(self) -> int:
        """Frames the receiver dropped because its queue was full (0 without the receiver)."""
        return self.rx_stats()["overruns"]

    def rx_stats(self) -> dict[str, int]:
        """The receiver's counters: frames it received and dropped for a full queue (`overruns`),
        the most it held at once (`high_water`), its `capacity` and what is `queued` now."""
        if self._final_stats is not None:
            return dict(self._final_stats)
        return dict(self._call(lambda d: d._rx_stats()))

    def fileno(self) -> int:
        """A descriptor that is readable while messages are waiting, for asyncio's add_reader."""
        fd = self._device()._fileno() if self._receiver else -1
        if fd < 0:
            raise NotImplementedError("fileno is available with the receiver (rx_queue_size > 0) on POSIX systems")
        # The descriptor shows what the module holds: frames fetched ahead would wait unseen.
        self._batch = 1
        return int(fd)

    def _apply_filters(self, filters: Optional[CanFilters]) -> None:
        if self._dev is None:
            return
        if not filters:
            self._dev.clear_filters()
            return
        self._dev.set_filters([(f["can_id"], f["can_mask"], f.get("extended")) for f in filters])

    def flush_tx_buffer(self) -> None:
        try:
            self._device().flush_tx_queue()
        except RuntimeError as e:
            raise CanOperationError(str(e)) from e

    # --- periodic ------------------------------------------------------------------------------------
    def _send_periodic_internal(
        self,
        msgs: Union[Sequence[Message], Message],
        period: float,
        duration: Optional[float] = None,
        autostart: bool = True,
        modifier_callback: Optional[Callable[[Message], None]] = None,
    ) -> can.broadcastmanager.CyclicSendTaskABC:
        if not period > 0:
            raise ValueError(f"the period must be more than 0 seconds, not {period!r}")
        if modifier_callback is not None:
            # A callback must run before every send: that is python-can's software task's job.
            return super()._send_periodic_internal(msgs, period, duration, autostart, modifier_callback)
        return VorelCyclicTask(self, msgs, period, duration, autostart)

    # --- state and extras -------------------------------------------------------------------------------
    @property
    def state(self) -> BusState:
        """ERROR when the controller is bus-off or stopped, PASSIVE while it is error-passive or the
        bus is listen-only, ACTIVE while it is error-active or warning."""
        state, _rx, _tx = self._call(lambda d: d.get_bus_state())
        mapped = _STATES.get(state, BusState.ERROR)
        if mapped == BusState.ACTIVE and self._mode & MODE_LISTEN_ONLY:
            return BusState.PASSIVE
        return mapped

    @state.setter
    def state(self, new_state: BusState) -> None:
        mode = self._mode | MODE_LISTEN_ONLY if new_state == BusState.PASSIVE else self._mode & ~MODE_LISTEN_ONLY

        def apply(d: native.NativeVorelDevice) -> None:
            d.set_bus_state(False)
            d.set_mode(mode)
            d.set_bus_state(True)

        self._call(apply)
        self._mode = mode

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
            raise CanOperationError(str(e)) from e

    @staticmethod
    def _detect_available_configs() -> list[AutoDetectedConfig]:
        """Every attached adapter by serial, with its stored name and versions where it can be
        opened (one another process holds is listed by its serial alone)."""
        try:
            serials = sorted(native.list_devices())
        except RuntimeError:
            return []
        configs: list[AutoDetectedConfig] = []
        for serial in serials:
            config: dict[str, Any] = {"interface": "vorel", "channel": serial, "supports_fd": False}
            try:
                dev = native.NativeVorelDevice(serial)
                config["name"] = dev.get_device_name()
                config["hardware_version"], config["firmware_version"], _channels = dev.get_device_info()
                del dev
            except RuntimeError:
                pass
            configs.append(config)  # type: ignore[arg-type]
        return configs

    def shutdown(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
        dev = self._dev
        if dev is not None:
            dev._interrupt()  # a recv waiting in another thread returns None now
        try:
            super().shutdown()  # python-can's own software tasks
        finally:
            self._dev = None
            if dev is not None:
                dev.stop_all_periodic()
                # Frames written last may still wait in the adapter's queue, and switching the bus
                # off drops them: give them their time on the wire (at most _DRAIN_MAX_S).
                left = self._drained_at - time.monotonic()
                if left > 0:
                    time.sleep(left)
                dev._stop_receiver()
                self._final_stats = dict(dev._rx_stats())
                try:
                    dev.set_bus_state(False)
                except RuntimeError:
                    pass  # unplugged: releasing it is all that is left to do
                del dev


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
                self._task_id = self._bus._device().start_periodic(self._frames(), period_us, duration_ms)
            except RuntimeError as e:
                raise CanOperationError(str(e)) from e
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
        super().modify_data(messages)
        with self._lock:
            task_id = self._task_id
        if task_id is not None:
            try:
                self._bus._device().modify_periodic(task_id, self._frames())
            except RuntimeError as e:
                raise CanOperationError(str(e)) from e
