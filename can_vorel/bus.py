"""VorelBus: python-can's BusABC over the native module vorel_pythoncan_ext."""

from __future__ import annotations

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

# How long a blocking receive waits in one native call, so that shutdown() ends it promptly.
_RECV_SLICE_MS = 100
_RECV_SLICE_S = _RECV_SLICE_MS / 1000
# The adapter's timestamps come from a 32-bit microsecond counter on most firmware.
_WRAP = 1 << 32


# Received messages are built field by field when can.Message has exactly the fields this module
# knows; any other python-can version gets the ordinary constructor.
_MESSAGE_FIELDS = {"timestamp", "arbitration_id", "is_extended_id", "is_remote_frame", "is_error_frame", "channel",
                   "is_fd", "is_rx", "bitrate_switch", "error_state_indicator", "data", "dlc"}
_FAST_MESSAGE = set(getattr(Message, "__slots__", ())) - {"__weakref__"} == _MESSAGE_FIELDS
_new_message = Message.__new__


def _timeout_ms(timeout: Optional[float]) -> int:
    """Seconds to the module's milliseconds; None waits without limit (the module's 0)."""
    if timeout is None:
        return 0
    # The module reads 0 as "no limit": a zero or tiny time-out becomes the shortest real one.
    return max(1, math.ceil(timeout * 1000))


def _frame_tuple(msg: Message) -> tuple[int, bool, bool, bool, int, bytes]:
    return (msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.is_error_frame, msg.dlc,
            bytes(msg.data))


class _Clock:
    """Maps the adapter's microsecond timestamps to seconds since the epoch.

    The first frame anchors the adapter's clock to the host's; later frames follow the adapter's
    own clock, so they keep its order and spacing. A 32-bit counter that wraps is unwrapped; a
    timestamp a little older than the latest (two receiving threads handing frames in slightly out
    of order) is placed before it, not a whole wrap later. The common case, a timestamp at or
    after the latest, costs one comparison; nothing here needs a lock.
    """

    __slots__ = ("base", "last")

    def __init__(self) -> None:
        self.base: Optional[float] = None  # host seconds at adapter time 0 of the current wrap
        self.last = 0  # the latest raw timestamp seen

    def slow(self, ts_us: int) -> float:
        if self.base is None:
            self.base = time.time() - ts_us / 1e6
        elif ts_us < _WRAP and self.last - ts_us > _WRAP // 2:
            self.base += _WRAP / 1e6  # the 32-bit counter wrapped
        elif ts_us < self.last:
            return self.base + ts_us / 1e6  # out of order: keep the latest as it is
        self.last = ts_us
        return self.base + ts_us / 1e6


class VorelBus(can.BusABC):
    """A VOREL USB CAN adapter as a python-can bus.

    :param channel: the adapter's serial number; None or "" opens the only adapter attached.
    :param name: open the adapter by the name stored in it instead of by serial.
    :param bitrate: nominal bit rate in bit/s (default 500000).
    :param sample_point: sample point in percent (default 87.5).
    :param timing: a :class:`can.BitTiming`, used by its bit rate and sample point.
    :param listen_only: never drive the bus (no ACKs, no frames sent).
    :param loopback: the controller's loopback mode.
    :param receive_own_messages: deliver frames this bus sent to its own receive queue.
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
        loopback: bool = False,
        receive_own_messages: bool = False,
        **kwargs: Any,
    ) -> None:
        # python-can's command-line tools turn a numeric-looking channel into an int.
        serial = "" if channel is None else str(channel)
        self._lock = threading.Lock()
        self._closed = False  # set once by shutdown(); read without a lock
        self._clock = _Clock()
        self._mode = (MODE_LISTEN_ONLY if listen_only else 0) | (
            MODE_LOOPBACK if loopback or receive_own_messages else 0
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
        except (RuntimeError, TypeError, ValueError, OverflowError) as e:
            del dev  # releases the adapter before the error leaves
            raise CanInitializationError(f"Failed to configure the adapter: {e}") from e
        self._dev = dev
        self.serial = self._serial_of(serial, name)
        self.channel_info = f"VOREL USB CAN {self.serial}" if self.serial else "VOREL USB CAN"
        self.channel = channel if channel not in (None, "") else self.serial
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
        dev = self._device()
        try:
            dev.send_frame(*_frame_tuple(msg), _timeout_ms(timeout))
        except RuntimeError as e:
            if "Operation timed out" in str(e):
                raise CanTimeoutError(str(e)) from e
            raise CanOperationError(str(e)) from e

    def recv(self, timeout: Optional[float] = None) -> Optional[Message]:
        """Wait for a message, up to `timeout` seconds (None: until one comes or the bus shuts down).

        The filters run inside the module, so python-can's own filter pass is skipped.
        """
        dev = self._dev
        if dev is None or self._closed:
            raise CanOperationError("The bus has been shut down")
        if timeout is not None and timeout <= _RECV_SLICE_S:
            # The common case inline: one native call, served from the buffer or one short read.
            try:
                frame = dev.receive_frame(math.ceil(timeout * 1000) or 1)
            except RuntimeError as e:
                raise CanOperationError(str(e)) from e
            if frame is not None:
                return self._message(frame)
            if timeout <= 0.001:
                return None
        return self._wait(dev, timeout)

    def _recv_internal(self, timeout: Optional[float]) -> tuple[Optional[Message], bool]:
        return self.recv(timeout), True

    def _wait(self, dev: native.NativeVorelDevice, timeout: Optional[float]) -> Optional[Message]:
        # Wait in slices until the deadline (a read whose frames were all filtered returns
        # early), so that shutdown() from another thread ends the wait promptly.
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            slice_ms = _RECV_SLICE_MS
            if deadline is not None:
                slice_ms = min(slice_ms, max(1, math.ceil((deadline - time.monotonic()) * 1000)))
            try:
                frame = dev.receive_frame(slice_ms)
            except RuntimeError as e:
                if self._closed:
                    return None  # shut down by another thread while this one waited
                raise CanOperationError(str(e)) from e
            if frame is not None:
                return self._message(frame)
            if self._closed or (deadline is not None and time.monotonic() >= deadline):
                return None

    def _message(self, frame: tuple[int, int, bool, bool, bool, int, bytes]) -> Message:
        ts_us, arb_id, is_ext, is_rtr, is_err, dlc, data = frame
        clock = self._clock
        if clock.base is None or ts_us < clock.last:
            stamp = clock.slow(ts_us)
        else:
            clock.last = ts_us
            stamp = clock.base + ts_us / 1e6
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
        if modifier_callback is not None:
            # A callback must run before every send: that is python-can's software task's job.
            return super()._send_periodic_internal(msgs, period, duration, autostart, modifier_callback)
        return VorelCyclicTask(self, msgs, period, duration, autostart)

    # --- state and extras -------------------------------------------------------------------------------
    @property
    def state(self) -> BusState:
        state, _rx, _tx = self._call(lambda d: d.get_bus_state())
        return _STATES.get(state, BusState.ERROR)

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
        try:
            serials = native.list_devices()
        except RuntimeError:
            return []
        return [{"interface": "vorel", "channel": s} for s in serials]

    def shutdown(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
        try:
            super().shutdown()  # python-can's own software tasks
        finally:
            dev, self._dev = self._dev, None
            if dev is not None:
                dev.stop_all_periodic()
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
                return
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
