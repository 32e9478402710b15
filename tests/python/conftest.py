"""Shared fixtures: a freshly reset simulated world for every test, and leak checks after it."""

from __future__ import annotations

import gc

import pytest

import vorel_pythoncan_ext as vorel
from vorel_sim import Sim

_sim = Sim()


@pytest.fixture
def sim():
    """The simulator, reset; the test fails if it leaves a libusb object open that it opened."""
    _sim.reset()
    gc.collect()
    before = _sim.counters()
    yield _sim
    gc.collect()
    assert _sim.counters() == before


def _forget(request, name):
    """Drop pytest's own reference to a fixture value, so the leak check sees it released."""
    request.node.funcargs.pop(name, None)


@pytest.fixture
def dev(sim, request):
    """One open adapter (index 0), its transfer log cleared."""
    sim.add_adapter("VOR.EL:CANH0001")
    device = vorel.NativeVorelDevice(None)
    sim.clear_log()
    yield device
    device.stop_all_periodic()
    _forget(request, "dev")
    del device


@pytest.fixture
def pair(sim, request):
    """Two adapters joined on one bus, both on at 500 kbit/s: (sender, receiver)."""
    sim.add_adapters(2)
    a = vorel.NativeVorelDevice("VOR.EL:CANH0001")
    b = vorel.NativeVorelDevice("VOR.EL:CANH0002")
    for d in (a, b):
        d.set_bitrate(500000, 875)
        d.set_bus_state(True)
    sim.clear_log()
    yield a, b
    a.stop_all_periodic()
    b.stop_all_periodic()
    _forget(request, "pair")
    del a, b


def vendor_requests(sim):
    """The vendor control transfers logged so far: (request type, request, length, data)."""
    return [(t.request_type, t.request, t.length, t.data) for t in sim.log() if t.is_vendor]


def bulk_out(sim, adapter=None):
    """The records written to the OUT endpoint so far, oldest first."""
    return [
        t for t in sim.log() if t.kind == "bulk" and t.endpoint == 0x02 and (adapter is None or t.adapter == adapter)
    ]
