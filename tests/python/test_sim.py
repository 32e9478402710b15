"""The simulated adapters as seen through pyusb, the pure-Python baseline the benchmarks use."""

from __future__ import annotations

import struct
import time

import pytest
import usb.backend.libusb1
import usb.core
import usb.util

from conftest import LIBUSB

VID, PID = 0x16C0, 0x27D8


@pytest.fixture(scope="module")
def backend():
    """pyusb's libusb1 backend over the same library the module loads: the drop-in, or the
    system's own in front of the emulated devices."""
    be = usb.backend.libusb1.get_backend(find_library=lambda _: LIBUSB)
    assert be is not None
    return be


def _release(dev):
    usb.util.dispose_resources(dev)


def test_pyusb_finds_adapters_and_reads_serials(backend, sim):
    sim.add_adapter("VOR.EL:CANH0001")
    sim.add_adapter("VOR.EL:CANI0002")
    devs = list(usb.core.find(find_all=True, idVendor=VID, idProduct=PID, backend=backend))
    assert [d.serial_number for d in devs] == ["VOR.EL:CANI0002", "VOR.EL:CANH0001"]
    assert devs[0].manufacturer == "VOREL"
    for d in devs:
        _release(d)
    del devs


def test_pyusb_control_and_bulk_transfers(backend, sim):
    a, b = sim.add_adapters(2)
    devs = list(usb.core.find(find_all=True, idVendor=VID, backend=backend))
    rx, tx = devs  # the last adapter found is listed first
    caps = tx.ctrl_transfer(0xC1, 1, 0, 0, 24)
    assert struct.unpack_from("<I", caps)[0] == 48_000_000
    for d in devs:
        assert d.ctrl_transfer(0x41, 21, 0, 0, struct.pack("<I", 1)) == 4
    record = bytes([0, 2, 0, 1]) + struct.pack("<I", 0x123) + bytes([0xAA, 0xBB]) + bytes(6)
    assert tx.write(0x02, record, 100) == 16
    got = bytes(rx.read(0x81, 64, 1000))
    assert len(got) == 24
    assert got[1:3] == bytes([2, 0]) and struct.unpack_from("<I", got, 4)[0] == 0x123
    assert got[8:10] == bytes([0xAA, 0xBB])
    assert sim.state(a).frames_sent == 1 and sim.state(b).frames_received == 1
    for d in devs:
        _release(d)
    del devs, tx, rx


def test_pyusb_read_time_out_is_honoured(backend, sim):
    sim.add_adapter()
    dev = usb.core.find(idVendor=VID, backend=backend)
    t0 = time.monotonic()
    with pytest.raises(usb.core.USBTimeoutError):
        dev.read(0x81, 64, 100)
    assert time.monotonic() - t0 >= 0.1
    _release(dev)
    del dev


def test_log_records_pyusb_transfers(backend, sim):
    sim.add_adapter()
    dev = usb.core.find(idVendor=VID, backend=backend)
    sim.clear_log()
    dev.ctrl_transfer(0x41, 24, 0, 0, struct.pack("<I", 3))
    (entry,) = [t for t in sim.log() if t.is_vendor]
    assert (entry.request_type, entry.request, entry.length, entry.data) == (0x41, 24, 4, b"\x03\0\0\0")
    assert sim.state(0).led_mode == 3
    _release(dev)
    del dev


def test_capture_reads_back_with_python_cans_asc_reader(sim, pair, tmp_path):
    import can

    a, _ = pair
    path = tmp_path / "bus.asc"
    path.write_text("old\n")
    sim.set_capture(str(path))
    a.send_frame(0x123, False, False, False, 2, b"\x01\x02", 100)
    a.send_frame(0x18DAF110, True, False, False, 8, bytes(range(8)), 100)
    a.send_frame(0x7FF, False, True, False, 4, b"", 100)
    time.sleep(0.01)
    sim.set_capture(str(path), append=True)  # a second block after the first
    a.send_frame(0x001, False, False, False, 0, b"", 100)
    time.sleep(0.01)
    sim.set_capture(None)
    got = [(m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.dlc, bytes(m.data)) for m in can.ASCReader(str(path))]
    assert got == [
        (0x123, False, False, 2, b"\x01\x02"),
        (0x18DAF110, True, False, 8, bytes(range(8))),
        (0x7FF, False, True, 4, b""),
        (0x001, False, False, 0, b""),
    ]
    assert "old" not in path.read_text()
