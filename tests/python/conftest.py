"""Shared fixtures: a freshly reset simulated world for every test, and leak checks after it.

The suite runs against either front end of the simulated adapters: the drop-in libusb
(`--frontend dropin`), or emulated Linux USB devices driven by the system's own libusb
(`--frontend umockdev`). The environment selects it (./run sets it up); given an option that the
environment does not provide, the run starts over in an environment that does.
"""

from __future__ import annotations

import gc
import os
import sys
from pathlib import Path

import pytest

import vorel_pythoncan_ext as vorel
from vorel_sim import Sim, frontend_environment

_sim = Sim()
LIBUSB = _sim.libusb_path  # the libusb this process loads
_ROOT = Path(__file__).resolve().parents[2]


def pytest_addoption(parser):
    parser.addoption(
        "--frontend",
        choices=("dropin", "umockdev"),
        default=None,
        help="front end of the simulated adapters (default: the one the environment provides)",
    )


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "dropin_only(reason): needs a fault or an observation that only the drop-in front end offers"
    )
    config.addinivalue_line(
        "markers", "plain_only: a load or timing test, for the plain build on the drop-in (not the emulated "
        "devices, whose transfers cost hundreds of microseconds, nor the sanitizers)"
    )
    wanted = config.getoption("frontend")
    if wanted and wanted != _sim.frontend:
        args = [sys.executable, "-m", "pytest", *config.invocation_params.args]
        os.execve(sys.executable, args, frontend_environment(wanted, str(_ROOT / "build" / "dev")))


def pytest_report_header(config):
    return f"simulated adapters: {_sim.frontend} front end"


def pytest_collection_modifyitems(config, items):
    sanitized = os.environ.get("VOREL_SANITIZED") == "1"
    for item in items:
        marker = item.get_closest_marker("dropin_only")
        if marker and _sim.frontend != "dropin":
            item.add_marker(pytest.mark.skip(reason=f"drop-in front end only: {marker.args[0]}"))
        if item.get_closest_marker("plain_only") and (sanitized or _sim.frontend != "dropin"):
            item.add_marker(pytest.mark.skip(reason="load and timing tests run in the plain build on the drop-in"))


@pytest.fixture
def sim():
    """The simulator, reset; the test fails if it leaves a libusb object open that it opened."""
    _sim.reset()
    _sim.enable_log()
    gc.collect()
    before = _sim.counters()
    yield _sim
    gc.collect()
    assert _sim.wait_counters(**before) == before


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


def logs_timeouts(sim) -> bool:
    """Whether the transfer log shows the time-out each call gave libusb: the drop-in is libusb
    and sees it; an emulated device sees URBs, which carry none (libusb keeps the time itself)."""
    return sim.frontend == "dropin"


def vendor_requests(sim):
    """The vendor control transfers logged so far: (request type, request, length, data)."""
    return [(t.request_type, t.request, t.length, t.data) for t in sim.log() if t.is_vendor]


def bulk_out(sim, adapter=None):
    """The records written to the OUT endpoint so far, oldest first."""
    return [
        t for t in sim.log() if t.kind == "bulk" and t.endpoint == 0x02 and (adapter is None or t.adapter == adapter)
    ]
