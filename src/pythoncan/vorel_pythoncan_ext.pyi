"""VOREL Native Python-CAN API"""

from collections.abc import Sequence
from typing import Any, Optional, SupportsIndex, Union, final

__all__ = ["NativeVorelDevice", "list_devices"]

_Data = Union[bytes, bytearray, Sequence[SupportsIndex]]
_Frame = tuple[SupportsIndex, bool, bool, bool, SupportsIndex, _Data]
_Received = tuple[int, int, bool, bool, bool, int, bytes]

# Every RuntimeError the module raises carries two attributes besides its message: `kind: str`,
# the failure's variant name (e.g. "DeviceNotFound", "Usb", "NotOpen" after _release), and
# `libusb_code: Optional[int]`, the code of a failed libusb call.

def list_devices() -> list[str]:
    """Enumerate available VOREL devices, returns list of serial numbers"""

# For the plug-in, beyond the specified surface.
def _probe_adapters() -> list[dict[str, Any]]:
    """Every device with the adapter's ids: serial (or None), bus, address, and what
    opening (open) and claiming (claim) it answered, as libusb codes; nothing is sent to it."""

@final
class NativeVorelDevice:
    """Native VOREL Device Handle for Python-CAN"""

    def __new__(cls, serial: Optional[str]) -> "NativeVorelDevice": ...
    @staticmethod
    def open_by_name(name: str) -> "NativeVorelDevice":
        """Open a device by its user-friendly short name"""
    def set_bitrate(self, bitrate: SupportsIndex, sample_point: SupportsIndex) -> None:
        """Set CAN bitrate with sample point (in permille, e.g. 875 = 87.5%)"""
    def set_bus_state(self, on: bool) -> None:
        """Set bus on/off state"""
    def set_mode(self, ctrlmode: SupportsIndex) -> None:
        """Set CAN controller mode flags (loopback, listen-only, etc.)"""
    def get_bus_state(self) -> tuple[int, int, int]:
        """Get current bus state: returns (state, rx_error_count, tx_error_count)"""
    def flush_tx_queue(self) -> None:
        """Flush the TX queue for channel 0"""
    def set_led_mode(self, mode: SupportsIndex) -> None:
        """Set LED mode natively"""
    def get_led_mode(self) -> int:
        """Get current LED mode numeric state"""
    def get_device_name(self) -> str:
        """Get device name"""
    def set_device_name(self, name: str) -> None:
        """Set device name"""
    def get_device_capabilities(self) -> dict[str, int]:
        """Get raw device capabilities map"""
    def get_device_info(self) -> tuple[str, str, int]:
        """Get device info: returns (hw_version, fw_version, channel_count)"""
    def set_filters(self, filters: Sequence[tuple[SupportsIndex, SupportsIndex, Optional[bool]]]) -> None:
        """Set CAN message filters (called from Python's _apply_filters)"""
    def clear_filters(self) -> None:
        """Clear all filters (accept all messages)"""
    def send_frame(
        self,
        arb_id: SupportsIndex,
        is_ext: bool,
        is_rtr: bool,
        is_err: bool,
        dlc: SupportsIndex,
        data: _Data,
        timeout_ms: SupportsIndex,
    ) -> None:
        """Send a CAN frame."""
    def receive_frame(self, timeout_ms: SupportsIndex) -> Optional[_Received]:
        """Receive one frame: (ts_us, arb_id, is_ext, is_rtr, is_err, dlc, data), or None"""
    def start_periodic(
        self, frames: Sequence[_Frame], period_us: SupportsIndex, duration_ms: Optional[SupportsIndex]
    ) -> int:
        """Start a periodic send task that runs on a dedicated OS thread."""
    def stop_periodic(self, task_id: SupportsIndex) -> None:
        """Stop a periodic send task by task_id"""
    def modify_periodic(self, task_id: SupportsIndex, frames: Sequence[_Frame]) -> None:
        """Update the frame data for a running periodic task (hot-swap, no timing disruption)"""
    def stop_all_periodic(self) -> None:
        """Stop all periodic tasks (called during shutdown)"""
    # For the plug-in, beyond the specified surface.
    def _start_periodic(
        self, frames: Sequence[_Frame], period_us: SupportsIndex, duration_ms: Optional[SupportsIndex]
    ) -> int:
        """start_periodic, but after a stall of more than a few periods the task goes on from now
        instead of sending every missed frame back to back."""
    def _start_receiver(self, capacity: SupportsIndex, transfers: SupportsIndex) -> None:
        """Start the receiver: `transfers` reads in flight, a buffer of `capacity` frames."""
    def _stop_receiver(self) -> None:
        """Stop the receiver thread."""
    def _recv(self, timeout: Optional[float], ignore_errors: bool) -> Any:
        """The next frame, waiting up to timeout s (None: no limit); None when
        none came or the bus is closing. With ignore_errors, error frames are dropped."""
    def _interrupt(self) -> None:
        """End every wait for a frame, now and later."""
    def _stats(self) -> dict[str, int]:
        """Frames sent and the receiver's counters."""
    def _fileno(self) -> int:
        """A descriptor readable while frames are pending, or -1."""
    def _use_messages(self, message_type: type, channel: Any) -> None:
        """_recv hands out frames as instances of message_type."""
    def _timing_limits(self) -> dict[str, int]:
        """The adapter's clock (f_clock) and bit-timing limits, by python-can's names."""
    def _calc_bit_timing(
        self, bitrate: int, sample_point_ppm: int, tolerance_ppm: int
    ) -> tuple[Optional[dict[str, int]], int]:
        """(timing or None, nearest reachable bit rate): a timing within tolerance_ppm of bitrate,
        its sample point nearest sample_point_ppm (millionths of the bit)."""
    def _set_bit_timing(self, brp: int, tseg1: int, tseg2: int, sjw: int) -> dict[str, int]:
        """Write these segments, verified; returns the timing and f_clock."""
    def _send(self, msg: Any, timeout: Optional[float], echo: bool) -> None:
        """Send a python-can Message, checked as python-can checks it."""
    def _start_watch(self, period: float, auto_reset: bool) -> None:
        """Read the controller's state every period s: each bus-off
        announced once by an error frame, and with auto_reset ended by a restart."""
    def _restart(self) -> None:
        """Switch the controller off and on, counted and announced by an error frame."""
    def _watch_stats(self) -> dict[str, int]:
        """Restarts done (bus_off_recoveries) and automatic ones that failed."""
    def _release(self) -> None:
        """Stop every task, close the adapter; later calls raise RuntimeError."""
    def _shut_down(self, drain_timeout: Optional[float]) -> tuple[int, dict[str, int]]:
        """_release, after giving the frames sent up to drain_timeout s to leave
        and switching the bus off: (frames that may not have left, the counters as _stats then)."""
