"""Arbitrary Python objects thrown at every argument: a result or one of the specified errors,
nothing sent on an argument error, and the process never crashes."""

from __future__ import annotations

import sys
import sysconfig
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import bulk_out

ARGUMENT_ERRORS = (TypeError, OverflowError, ValueError, UnicodeEncodeError)


def wait_for(cond, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not cond() and time.monotonic() < deadline:
        time.sleep(0.002)
    return cond()


class Index:
    """An __index__ that returns anything or raises anything."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            # A fresh exception each time: a shared one would keep the last traceback alive.
            raise type(self.value)(*self.value.args)
        return self.value


class LyingSequence:
    """A sequence whose __len__ disagrees with what iterating it yields."""

    def __init__(self, items, length):
        self.items, self.length = list(items), length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise type(self.length)(*self.length.args)
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class GrowingBytearray(bytearray):
    """A bytearray another thread resizes while the module copies it."""

    def start(self):
        stop = threading.Event()

        def churn():
            while not stop.is_set():
                try:
                    self.extend(b"\x01" * 64)
                    del self[: len(self) // 2]
                except BufferError:
                    pass  # the module holds the bytes while it copies them

        t = threading.Thread(target=churn)
        t.start()
        return stop, t


ints = st.one_of(st.integers(), st.integers(min_value=-(2**70), max_value=2**70), st.sampled_from([0, 255, 256, 2**32 - 1, 2**32, 2**64 - 1, 2**64, -1]))
errors = st.sampled_from([TypeError, ValueError, OverflowError, RuntimeError, KeyError]).map(lambda cls: cls("raised"))
leaf = st.one_of(
    ints,
    st.booleans(),
    st.none(),
    st.floats(allow_nan=True),
    st.text(max_size=20),
    st.binary(max_size=20),
    st.builds(bytearray, st.binary(max_size=20)),
    st.builds(Index, st.one_of(ints, errors, st.text(max_size=3), st.none())),
)
objects = st.recursive(
    leaf,
    lambda inner: st.one_of(
        st.lists(inner, max_size=8),
        st.lists(inner, max_size=8).map(tuple),
        st.builds(LyingSequence, st.lists(inner, max_size=5), st.one_of(st.integers(-5, 50), errors)),
    ),
    max_leaves=12,
)
frame_tuples = st.tuples(ints, st.booleans(), st.booleans(), st.booleans(), ints, st.one_of(st.binary(max_size=12), st.lists(ints, max_size=10)))
frame_lists = st.one_of(objects, st.lists(st.one_of(frame_tuples, objects), max_size=4))

METHODS = {
    "set_bitrate": (st.tuples(objects, objects)),
    "set_bus_state": st.tuples(objects),
    "set_mode": st.tuples(objects),
    "set_led_mode": st.tuples(objects),
    "set_device_name": st.tuples(objects),
    "set_filters": st.tuples(st.one_of(objects, st.lists(st.tuples(ints, ints, st.one_of(st.none(), st.booleans())), max_size=4))),
    "send_frame": st.tuples(objects, objects, objects, objects, objects, objects, st.integers(1, 20)),
    "receive_frame": st.tuples(st.one_of(objects, st.integers(1, 20))),
    "start_periodic": st.tuples(frame_lists, st.one_of(objects, st.integers(0, 10**7)), st.one_of(objects, st.none())),
    "stop_periodic": st.tuples(objects),
    "modify_periodic": st.tuples(objects, frame_lists),
}


@pytest.mark.parametrize("method", sorted(METHODS))
def test_any_arguments(sim, dev, method):
    sim.set_sink(0)
    sim.set_tx_fifo(0, 0)  # a write that gets through would wait: time-outs are kept short below

    @settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck), database=None)
    @given(args=METHODS[method])
    def run(args):
        if method == "receive_frame":
            sim.inject_rx(0, bytes(24))  # a frame is waiting, so any accepted time-out returns at once
        sim.clear_log()
        try:
            getattr(dev, method)(*args)
        except ARGUMENT_ERRORS + (KeyError,):  # KeyError: what an argument's own __index__ raised
            assert sim.log() == [], "an argument error must send nothing"
        except RuntimeError:
            pass  # the adapter's own answer, or a rule the module checks itself
        finally:
            dev.stop_all_periodic()

    run()


def test_an_overstated_length_is_only_a_hint(sim, dev):
    # __len__ claims 2**62 items; iterating yields one. Nothing is sized by the claim, and the one
    # item is what is used.
    sim.set_sink(0)

    def sent_ids():
        return {t.data[4] for t in bulk_out(sim) if len(t.data) == 16}

    task = dev.start_periodic(LyingSequence([(1, False, False, False, 1, b"\x01")], 2**62), 2000, None)
    assert wait_for(lambda: 1 in sent_ids())
    dev.modify_periodic(task, LyingSequence([(2, False, False, False, 1, b"\x02")], 2**62))
    assert wait_for(lambda: 2 in sent_ids())
    dev.stop_all_periodic()
    assert sent_ids() == {1, 2}
    dev.set_filters(LyingSequence([(0x123, 0x7FF, False)], 2**62))
    sim.inject_frame(0, 0x124, 0, 0, b"")
    sim.inject_frame(0, 0x123, 0, 0, b"")
    assert dev.receive_frame(1000)[1] == 0x123  # the filter that was iterated, not a sized one


def test_bytearray_resized_while_copied(sim, dev):
    sim.set_sink(0)
    data = GrowingBytearray(b"\x00" * 32)
    stop, churner = data.start()
    try:
        for _ in range(2000):
            dev.send_frame(1, False, False, False, 8, data, 10)
            dev.start_periodic([(1, False, False, False, 8, data)], 10**6, 0)
            dev.stop_all_periodic()
    finally:
        stop.set()
        churner.join()
    records = [t.data for t in sim.log() if t.kind == "bulk" and t.endpoint == 0x02]
    assert len(records) == 2000
    # Every copy was whole: the records carry only bytes the bytearray held (0 and 1). The
    # free-threaded 3.13's bytearray does not lock itself while it resizes, so there a racing
    # resize can still tear a copy; there the test asks for no crash only.
    if not (sysconfig.get_config_var("Py_GIL_DISABLED") and sys.version_info < (3, 14)):
        assert all(set(r[8:16]) <= {0, 1} for r in records)
