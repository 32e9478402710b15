"""Listing and opening adapters: every outcome, exact messages, nothing left open."""

from __future__ import annotations

import gc
import threading
import time

import pytest

import vorel_pythoncan_ext as vorel
import vorel_sim
from conftest import vendor_requests
from vorel_pythoncan_ext import NativeVorelDevice

H1, H2 = "VOR.EL:CANH0001", "VOR.EL:CANH0002"
# Serials in the order libusb on Linux lists devices: the last one found comes first.
MULTIPLE = 'Failed to open device: MultipleDevicesFound(["VOR.EL:CANH0002", "VOR.EL:CANH0001"])'


@pytest.mark.parametrize(
    "adapters,serial,outcome,listed",
    [
        ([], None, "Failed to open device: DeviceNotFound", []),
        ([H1], None, "opened", [H1]),
        ([H1], "", "opened", [H1]),
        ([H1], H1, "opened", [H1]),
        ([H1, H2], None, MULTIPLE, [H2, H1]),
        ([H1, H2], "", MULTIPLE, [H2, H1]),
        ([H1, H2], H2, "opened", [H2, H1]),
        ([H1], "vor.el:canh0001", "Failed to open device: DeviceNotFound", [H1]),
        (["VOR.EL:CANK0001"], None, "Failed to open device: DeviceNotFound", []),
        (["VOR.EL:CANK0001"], "VOR.EL:CANK0001", "opened", []),
        (["VOR.EL:CA"], "VOR.EL:CA", "opened", []),
        ([None], None, "Failed to open device: DeviceNotFound", []),
    ],
)
def test_open_and_list(sim, adapters, serial, outcome, listed):
    for s in adapters:
        sim.add_adapter(s)
    assert vorel.list_devices() == listed
    try:
        dev = NativeVorelDevice(serial)
    except RuntimeError as e:
        # The text is the only argument; the kind comes as an attribute, for callers to map on.
        assert e.args == (outcome,)
        assert (e.kind, e.libusb_code) == (outcome.split(": ")[1].split("(")[0], None)
    else:
        assert outcome == "opened"
        assert sim.counters()["claims"] == 1
        del dev
    assert sim.wait_counters(handles=0)["handles"] == 0


@pytest.mark.dropin_only("the system's libusb opens the device node itself, and as root no file mode refuses it")
def test_busy_adapters(sim):
    a = sim.add_adapter(H1)
    sim.set_open_error(a, vorel_sim.ERROR_ACCESS)
    with pytest.raises(RuntimeError, match=r"^Failed to open device: DeviceInUse$"):
        NativeVorelDevice(None)
    with pytest.raises(RuntimeError, match=r"^Failed to open device: DeviceInUse$"):
        NativeVorelDevice("VOR.EL:CANH0009")
    assert vorel.list_devices() == []
    sim.set_open_error(a, 0)
    first = NativeVorelDevice(serial=H1)
    with pytest.raises(RuntimeError) as info:
        NativeVorelDevice(H1)
    assert str(info.value) == 'Failed to open device: Usb("Failed to claim interface: Resource busy")'
    assert (info.value.kind, info.value.libusb_code) == ("Usb", vorel_sim.ERROR_BUSY)
    del first
    again = NativeVorelDevice(H1)  # released with the first object
    del again


@pytest.mark.dropin_only("failures of libusb's own set-up and device scan")
def test_scan_failures(sim):
    sim.add_adapter(H1)
    sim.fail_device_list(vorel_sim.ERROR_IO)
    with pytest.raises(RuntimeError) as info:
        vorel.list_devices()
    assert str(info.value) == 'Enum err: Usb("Failed to enumerate USB devices: Input/Output Error")'
    sim.fail_init(vorel_sim.ERROR_NO_MEM)
    with pytest.raises(RuntimeError) as info:
        NativeVorelDevice(None)
    assert str(info.value) == 'Failed to open device: Usb("Failed to create USB context: Insufficient memory")'


def test_opening_sends_nothing_and_a_new_object_starts_empty(sim):
    sim.add_adapter(H1)
    sim.clear_log()
    dev = NativeVorelDevice(None)
    assert vendor_requests(sim) == []
    assert {(t.request_type, t.request) for t in sim.log()} == {(0x80, 6)}  # string descriptors only
    sim.clear_log()
    assert dev.receive_frame(5) is None  # an empty buffer goes to USB
    assert [t.endpoint for t in sim.log()] == [0x81]
    assert dev.start_periodic([(1, False, False, False, 0, b"")], 1_000_000, None) == 1
    dev.stop_all_periodic()
    del dev


def test_two_threads_open_two_adapters_at_once(sim):
    sim.add_adapter(H1)
    sim.add_adapter(H2)
    for _ in range(20):
        barrier = threading.Barrier(2)
        opened, errors = [], []

        def open_one(serial):
            barrier.wait()
            try:
                opened.append(NativeVorelDevice(serial))
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        threads = [threading.Thread(target=open_one, args=(s,)) for s in (H1, H2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert len(opened) == 2
        opened.clear()
    gc.collect()
    assert sim.wait_counters(handles=0)["handles"] == 0


def test_a_call_that_blocks_for_ever_performs_the_release_when_it_returns(sim):
    sim.add_adapter(H1)
    dev = NativeVorelDevice(H1)
    got = {}
    reader = threading.Thread(target=lambda: got.setdefault("frame", dev.receive_frame(0)))  # no limit
    reader.start()
    time.sleep(0.2)
    t0 = time.monotonic()
    dev._release()  # cannot end that read: hands the release over after a bounded wait
    assert 1.5 < time.monotonic() - t0 < 5
    assert sim.counters()["claims"] == 1  # the read holds the adapter still
    with pytest.raises(RuntimeError, match="has been released"):
        dev.get_bus_state()
    sim.inject_frame(0, 0x123, 0, 0, b"")
    reader.join(5)
    assert got["frame"][1] == 0x123
    assert sim.wait_counters(claims=0)["claims"] == 0  # released as that call left
    assert NativeVorelDevice(H1) is not None


def test_release_ends_the_calls_inside_and_frees_the_adapter_at_once(sim):
    from can import Message

    sim.add_adapter(H1)
    sim.set_tx_fifo(0, 0)  # nothing leaves: a send without a time-out waits for ever
    dev = NativeVorelDevice(H1)
    dev.set_bus_state(True)
    dev._start_receiver(64, 8)
    dev.start_periodic([(1, False, False, False, 0, b"")], 1000, None)
    ended = {}

    def call(name, fn):
        try:
            ended[name] = fn()
        except RuntimeError as e:
            ended[name] = (e.kind, str(e))

    threads = [threading.Thread(target=call, args=("receive", lambda: dev._recv(None, False))),
               threading.Thread(target=call, args=("send", lambda: dev._send(Message(arbitration_id=1), None, False)))]
    for t in threads:
        t.start()
    time.sleep(0.2)  # both wait in the module now
    releasers = [threading.Thread(target=call, args=(f"release{i}", dev._release)) for i in range(2)]
    for t in releasers:
        t.start()
    for t in releasers:
        t.join(2.0)
    for t in threads:
        t.join(2.0)
        assert not t.is_alive()
    assert ended == {"receive": None, "send": ("NotOpen", "Send failed: the device is being released"),
                     "release0": None, "release1": None}
    again = NativeVorelDevice(H1)  # at once (neither release returned before it was closed), the old object alive
    for method in (lambda: dev.receive_frame(1), dev.get_bus_state, lambda: dev.start_periodic([], 1, None)):
        with pytest.raises(RuntimeError, match="^NativeVorelDevice has been released: it no longer holds an adapter$") as info:
            method()
        assert info.value.kind == "NotOpen"
    dev._release()  # again: nothing to do
    del again
