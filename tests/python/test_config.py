"""Configuration methods and opening by name: requests on the wire, results, prefixed errors."""

from __future__ import annotations

import struct

import pytest

import vorel_sim
from conftest import vendor_requests
from vorel_pythoncan_ext import NativeVorelDevice

IN, OUT = 0xC1, 0x41


def test_set_bitrate_computes_writes_and_verifies(sim, dev):
    assert dev.set_bitrate(500000, 875) is None
    reqs = vendor_requests(sim)
    assert [(t, r) for t, r, _, _ in reqs] == [(IN, 1), (IN, 2), (OUT, 20), (IN, 20)]
    assert struct.unpack("<8I", reqs[2][3]) == (500000, 875, 125, 0, 13, 2, 2, 6)
    assert sim.state(0).bittiming == (500000, 875, 125, 0, 13, 2, 2, 6)


def test_set_bitrate_failures_in_order(sim, dev):
    with pytest.raises(RuntimeError) as info:
        dev.set_bitrate(2000000, 875)
    assert str(info.value) == (
        "Hardware constraint violated: Bitrate (2000000) > 1,000,000 bps is only supported on CAN FD capable hardware."
    )
    assert [r for _, r, _, _ in vendor_requests(sim)] == [1]  # stopped after the capabilities
    sim.clear_log()
    with pytest.raises(RuntimeError, match=r"^Invalid bit timing parameters$"):
        dev.set_bitrate(0, 875)
    assert [r for _, r, _, _ in vendor_requests(sim)] == [1, 2]
    sim.set_capabilities(0, ctrlmode_supported=0x3F)
    sim.clear_log()
    dev.set_bitrate(2000000, 875)  # CAN FD hardware may go above 1 Mbit/s: 24 quanta at prescaler 1
    assert sim.state(0).bittiming[0] == 2000000
    sim.clear_log()
    with pytest.raises(OverflowError):
        dev.set_bitrate(-1, 875)
    assert sim.log() == []
    cases = [
        (dict(request=1, direction=vorel_sim.IN), 'Failed caps: Usb("Control IN failed: Pipe error")'),
        (dict(request=2, direction=vorel_sim.IN), 'Failed bt_const: Usb("Control IN failed: Pipe error")'),
        (dict(request=20, direction=vorel_sim.OUT), 'BT error: Usb("Control OUT failed: Pipe error")'),
        (dict(request=20, direction=vorel_sim.IN), 'BT error: Usb("Control IN failed: Pipe error")'),
    ]
    for fault, message in cases:
        sim.fail_control(0, vorel_sim.ERROR_PIPE, **fault)
        with pytest.raises(RuntimeError) as info:
            dev.set_bitrate(500000, 875)
        assert str(info.value) == message
    sim.script_answer(0, 20, struct.pack("<8I", 250000, 875, 125, 0, 13, 2, 2, 6))
    with pytest.raises(RuntimeError) as info:
        dev.set_bitrate(500000, 875)
    assert str(info.value) == (
        'BT error: Hardware("Bittiming verification failed: Requested bitrate 500000, Actual 250000")'
    )


def test_bus_state_round_trip(sim, dev):
    assert dev.get_bus_state() == (4, 0, 0)
    dev.set_bus_state(True)
    assert dev.get_bus_state() == (0, 0, 0)
    sim.set_error_counters(0, 130, 7)
    assert dev.get_bus_state() == (2, 130, 7)
    dev.set_bus_state(False)
    assert dev.get_bus_state() == (4, 130, 7)
    sim.script_answer(0, 21, struct.pack("<5I", 4, 0, 0, 0, 0), count=-1)
    with pytest.raises(RuntimeError) as info:
        dev.set_bus_state(True)
    assert str(info.value) == 'Bus err: Hardware("Bus state verification failed: Requested ON, Actual State 4")'
    sim.clear_scripts(0)
    sim.script_answer(0, 21, bytes(19))
    with pytest.raises(RuntimeError) as info:
        dev.get_bus_state()
    assert str(info.value) == 'Get bus state err: Communication("Invalid bus state response")'


def test_simple_methods_and_their_prefixes(sim, dev):
    dev.set_mode(0x03)
    dev.flush_tx_queue()
    dev.set_led_mode(2)
    assert dev.get_led_mode() == 2
    dev.set_device_name("abc-DEF_123")
    assert dev.get_device_name() == "abc-DEF_123"
    assert (sim.state(0).mode, sim.state(0).led_mode) == (3, 2)
    assert vendor_requests(sim) == [
        (OUT, 22, 4, b"\x03\0\0\0"),
        (OUT, 63, 0, b""),
        (OUT, 24, 4, b"\x02\0\0\0"),
        (IN, 24, 4, b"\x02\0\0\0"),
        (IN, 24, 4, b"\x02\0\0\0"),
        (OUT, 25, 16, b"abc-DEF_123" + bytes(5)),
        (IN, 25, 16, b"abc-DEF_123" + bytes(5)),
    ]
    prefixes = [
        (lambda: dev.set_mode(1), "Mode err: "),
        (lambda: dev.flush_tx_queue(), "Flush TX err: "),
        (lambda: dev.set_led_mode(1), "Failed to set LED mode: "),
        (lambda: dev.get_led_mode(), "Failed to get LED mode: "),
        (lambda: dev.get_device_name(), "Failed to get device name: "),
        (lambda: dev.set_device_name("x"), "Failed to set device name: "),
        (lambda: dev.get_device_capabilities(), "Failed caps: "),
        (lambda: dev.get_device_info(), "Device info err: "),
        (lambda: dev.get_bus_state(), "Get bus state err: "),
        (lambda: dev.set_bus_state(True), "Bus err: "),
    ]
    for call, prefix in prefixes:
        sim.fail_control(0, vorel_sim.ERROR_NO_DEVICE)
        with pytest.raises(RuntimeError) as info:
            call()
        direction = "IN" if prefix in ("Failed to get LED mode: ", "Failed to get device name: ", "Failed caps: ",
                                       "Device info err: ", "Get bus state err: ") else "OUT"
        assert str(info.value) == (
            f'{prefix}Usb("Control {direction} failed: No such device (it may have been disconnected)")'
        )


def test_led_verification_and_short_answers(sim, dev):
    sim.script_answer(0, 24, b"", count=2)
    dev.set_led_mode(0)
    with pytest.raises(RuntimeError) as info:
        dev.set_led_mode(1)
    assert str(info.value) == 'Failed to set LED mode: Hardware("LED mode verification failed: Requested 1, Actual 0")'
    sim.script_answer(0, 24, b"\x02")
    assert dev.get_led_mode() == 2
    dev.set_led_mode(7)  # sent as is; the simulated firmware keeps any value
    assert sim.state(0).led_mode == 7


def test_names(sim, dev):
    cases = [
        ("x" * 16, 'Failed to set device name: InvalidParameter("Device name too long (max 15 chars)")'),
        ("é" * 8, 'Failed to set device name: InvalidParameter("Device name too long (max 15 chars)")'),
        ("é", 'Failed to set device name: InvalidParameter("Device name can only contain alphanumeric '
              'characters, underscore, and hyphen")'),
        ("a b", 'Failed to set device name: InvalidParameter("Device name can only contain alphanumeric '
                'characters, underscore, and hyphen")'),
    ]
    for name, message in cases:
        with pytest.raises(RuntimeError) as info:
            dev.set_device_name(name)
        assert str(info.value) == message
    assert sim.log() == []
    dev.set_device_name("")
    assert vendor_requests(sim) == [(OUT, 25, 16, bytes(16))]
    sim.set_name(0, b"a\xffb")
    assert dev.get_device_name() == "a\ufffdb"
    sim.set_name(0, b"Q" * 16)
    assert dev.get_device_name() == "Q" * 16


def test_capabilities_and_info(sim, dev):
    sim.set_capabilities(0, 80_000_000, 10, 20, 0x3F, 5)
    caps = dev.get_device_capabilities()
    assert caps == {
        "clock_freq": 80_000_000,
        "tx_data_buffer_size": 10,
        "rx_data_buffer_size": 20,
        "ctrlmode_supported": 0x3F,
        "features_supported": 5,
    }
    sim.set_device_info(0, [1, 2, 0, 0], [3, 4, 5, 6], 1)
    assert dev.get_device_info() == ("1.2.0.0", "3.4.5.6", 1)
    sim.script_answer(0, 1, bytes(23))
    with pytest.raises(RuntimeError) as info:
        dev.get_device_capabilities()
    assert str(info.value) == 'Failed caps: Communication("Invalid capabilities response")'


@pytest.fixture
def named(sim):
    for serial, name in [
        ("VOR.EL:CANH0001", b"Left"),
        ("VOR.EL:CANH0002", b"right"),
        ("VOR.EL:CANH0003", b"right"),
        ("VOR.EL:CANK0004", b"left"),
        ("VOR.EL:CANH0005", b""),
    ]:
        sim.add_adapter(serial, name=name)
    return sim


def test_open_by_name(named):
    dev = NativeVorelDevice.open_by_name("LEFT")
    assert dev.get_device_name() == "Left"
    with pytest.raises(RuntimeError) as info:
        NativeVorelDevice.open_by_name("left")  # already open: the scan can't claim it
    assert str(info.value) == "Failed to open device by name 'left': DeviceNotFound"
    del dev
    with pytest.raises(RuntimeError) as info:
        NativeVorelDevice.open_by_name(name="Right")
    assert str(info.value) == (
        "Failed to open device by name 'Right': MultipleDevicesFound([\"VOR.EL:CANH0003\", \"VOR.EL:CANH0002\"])"
    )
    with pytest.raises(RuntimeError) as info:
        NativeVorelDevice.open_by_name("Left ")
    assert str(info.value) == "Failed to open device by name 'Left ': DeviceNotFound"
    empty = NativeVorelDevice.open_by_name("")
    assert empty.get_device_name() == ""
    del empty


@pytest.mark.dropin_only("the system's libusb opens the device node itself, and as root no file mode refuses it")
def test_open_by_name_skips_busy_and_reports_not_found(named):
    named.set_open_error(0, vorel_sim.ERROR_ACCESS)
    with pytest.raises(RuntimeError) as info:
        NativeVorelDevice.open_by_name("left")
    assert str(info.value) == "Failed to open device by name 'left': DeviceNotFound"
    named.fail_control(1, vorel_sim.ERROR_PIPE, request=25, count=-1)  # unreadable name counts as ""
    with pytest.raises(RuntimeError, match="MultipleDevicesFound"):
        NativeVorelDevice.open_by_name("")
    named.fail_init(vorel_sim.ERROR_NO_MEM)
    with pytest.raises(RuntimeError) as info:
        NativeVorelDevice.open_by_name("x{}")
    assert str(info.value) == (
        "Failed to open device by name 'x{}': Usb(\"Failed to create USB context: Insufficient memory\")"
    )
