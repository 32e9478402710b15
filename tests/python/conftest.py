"""Shared fixtures: a freshly reset simulated world for every test, and leak checks after it."""

from __future__ import annotations

import gc

import pytest

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
