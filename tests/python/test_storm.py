"""The storm, short form: no crash, no deadlock, no frame lost or doubled, nothing left open."""

from __future__ import annotations

import gc
import os

from storm_run import run_storm


def test_storm(sim):
    sim.add_adapters(2)
    seconds = float(os.environ.get("VOREL_STORM_SECONDS", "10"))
    r = run_storm(sim, seconds, unplug_after=seconds * 0.7)
    gc.collect()
    assert r.stuck == [], r.stuck
    assert r.unexpected == [], r.unexpected[:5]
    assert r.duplicates == 0
    assert r.sent_to_a > 1000 and sum(r.operations.values()) > 10000, r
    # Every frame that reached A's adapter came back exactly once: A's filters always accept them.
    assert r.received_by_a == r.delivered_to_a, r
    assert r.received_by_a <= r.sent_to_a
    counters = sim.counters()
    assert counters["handles"] == 0 and counters["claims"] == 0, counters
