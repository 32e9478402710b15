"""Frames out and in: exact records on the wire, decoding, buffering, filters, errors, concurrency."""

from __future__ import annotations

import struct
import threading
import time
from collections import defaultdict

import pytest

import vorel_sim
from conftest import bulk_out, logs_timeouts


def rx_record(word, dlc=0, flags=0, data=b"", ts=0):
    return bytes([0xEE, dlc, flags, 0xEE]) + struct.pack("<I", word) + data.ljust(8, b"\0")[:8] + struct.pack("<Q", ts)


SEND_CASES = [
    # (arb_id, is_ext, is_rtr, is_err, dlc, data, record hex)
    (0x123, False, False, False, 2, b"\xaa\xbb", "00020001230100 00aabb000000000000"),
    (0x7FF, True, True, False, 8, b"", "00080601ff0700c0 0000000000000000"),
    (0x123, True, False, False, 3, b"\x01\x02\x03", "0003040123010080 0102030000000000"),
    (0x7FF, False, True, True, 0, b"", "00000a01ff070060 0000000000000000"),
    (0x800, False, False, False, 0, b"", "0000000100000000 0000000000000000"),
    (0x123, False, True, False, 4, b"\x01\x02\x03", "0004020123010040 0000000000000000"),
    (0x1, False, False, False, 8, b"\x09\x08", "0008000101000000 0908000000000000"),
    (0x1, False, False, False, 2, bytes(range(1, 11)), "0002000101000000 0102030405060708"),
    (0x1, False, False, False, 15, b"", "000f000101000000 0000000000000000"),
    (0xFFFFFFFF, True, False, True, 1, bytearray(b"\x55"), "00010c01ffffffbf 5500000000000000"),
    (0x2, False, False, False, 2, [0xAA, 0xBB], "0002000102000000 aabb000000000000"),
    (0x2, False, False, False, 2, (0xAA, 0xBB), "0002000102000000 aabb000000000000"),
    (0x2, False, False, False, 2, memoryview(b"\xaa\xbb"), "0002000102000000 aabb000000000000"),
]


@pytest.mark.parametrize("case", SEND_CASES, ids=[str(i) for i in range(len(SEND_CASES))])
def test_send_writes_exactly_one_record(sim, pair, case):
    a, _ = pair
    *args, hexrec = case
    assert a.send_frame(*args, 100) is None
    (t,) = bulk_out(sim)
    assert t.data == bytes.fromhex(hexrec.replace(" ", ""))
    assert (t.length, t.result) == (16, 0)
    assert t.timeout_ms == 100 or not logs_timeouts(sim)


RECEIVE_CASES = [
    # (word, dlc byte, flags, data, ts) -> tuple without ts
    ((0x123, 2, 0, b"\xaa\xbb"), (0x123, False, False, False, 2, b"\xaa\xbb")),
    ((0x80001234, 0, 0, b""), (0x1234, True, False, False, 0, b"")),
    ((0x1234, 0, 0x04, b""), (0x1234, True, False, False, 0, b"")),
    ((0xFFFFFFFF, 1, 0, b"\x01"), (0x1FFFFFFF, True, True, True, 1, b"\x01")),
    ((0xFFFF, 0, 0, b""), (0x7FF, False, False, False, 0, b"")),
    ((0x10, 4, 0x02, b"\x01\x02\x03\x04"), (0x10, False, True, False, 4, b"\x01\x02\x03\x04")),
    ((0x10, 12, 0, bytes(range(8))), (0x10, False, False, False, 8, bytes(range(8)))),
    ((0x10, 0, 0x08, b""), (0x10, False, False, True, 0, b"")),
]


@pytest.mark.parametrize("raw,want", RECEIVE_CASES, ids=[str(i) for i in range(len(RECEIVE_CASES))])
def test_receive_decodes_records(sim, dev, raw, want):
    word, dlc, flags, data = raw
    sim.inject_rx(0, rx_record(word, dlc, flags, data, ts=2**64 - 5))
    got = dev.receive_frame(100)
    assert got == (2**64 - 5, *want)
    assert all(type(x) is bool for x in got[2:5])
    assert type(got[6]) is bytes


def test_two_records_per_read_and_the_buffer_serves_the_second(sim, dev):
    sim.inject_rx(0, rx_record(1, ts=10) + rx_record(2, ts=20) + rx_record(3, ts=30))
    assert dev.receive_frame(100)[:2] == (10, 1)
    reads = len(sim.log())
    assert dev.receive_frame(0)[:2] == (20, 2)  # from the buffer: no transfer, no wait
    assert len(sim.log()) == reads
    assert dev.receive_frame(100)[:2] == (30, 3)


def test_time_outs_and_short_reads_are_none(sim, dev):
    t0 = time.monotonic()
    assert dev.receive_frame(100) is None
    assert time.monotonic() - t0 >= 0.1
    sim.fail_bulk(0, 0x81, vorel_sim.ERROR_TIMEOUT, transferred=23)
    assert dev.receive_frame(5) is None  # a partial transfer without a whole record


@pytest.mark.dropin_only("a URB cannot end as interrupted; the system's libusb reports an I/O error")
def test_interrupted_reads(sim, dev):
    sim.fail_bulk(0, 0x81, vorel_sim.ERROR_INTERRUPTED, transferred=30)
    assert dev.receive_frame(5) == (0, 0, False, False, False, 0, b"")  # the zero-filled buffer
    sim.fail_bulk(0, 0x81, vorel_sim.ERROR_INTERRUPTED)
    with pytest.raises(RuntimeError, match=r"^Receive err: USB error: Bulk read failed: System call interrupted"):
        dev.receive_frame(10)


def test_time_outs_beyond_32_bits_saturate(sim, dev):
    for timeout in (2**32, 2**32 + 1, 2**64 - 1):
        sim.inject_rx(0, rx_record(7))
        assert dev.receive_frame(timeout)[1] == 7
        dev.send_frame(1, False, False, False, 0, b"", timeout)
    timeouts = [t.timeout_ms for t in sim.log() if t.kind == "bulk"]
    assert timeouts == [4294967295] * 6 or not logs_timeouts(sim)


def test_receive_errors_use_the_display_text(sim, dev):
    sim.set_stall(0, 0x81)
    with pytest.raises(RuntimeError) as info:
        dev.receive_frame(10)
    assert str(info.value) == "Receive err: USB error: Bulk read failed: Pipe error"
    assert (info.value.kind, info.value.libusb_code) == ("Usb", vorel_sim.ERROR_PIPE)
    sim.set_stall(0, 0x81, False)
    sim.fail_bulk(0, 0x81, vorel_sim.ERROR_IO)
    with pytest.raises(RuntimeError, match=r"^Receive err: USB error: Bulk read failed: Input/Output Error$"):
        dev.receive_frame(10)
    sim.unplug(0)
    with pytest.raises(RuntimeError) as info:
        dev.receive_frame(10)
    assert str(info.value) == "Receive err: USB error: Bulk read failed: No such device (it may have been disconnected)"
    assert (info.value.kind, info.value.libusb_code) == ("Usb", vorel_sim.ERROR_NO_DEVICE)


def test_send_errors_use_the_debug_form(sim, dev):
    sim.set_tx_fifo(0, 0)  # nothing drains: the write times out
    t0 = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        dev.send_frame(1, False, False, False, 0, b"", 10)
    assert time.monotonic() - t0 >= 0.01
    assert str(info.value) == 'Send failed: Usb("Bulk write failed: Operation timed out")'
    sim.fail_bulk(0, 0x02, vorel_sim.ERROR_TIMEOUT, transferred=8)
    assert dev.send_frame(1, False, False, False, 0, b"", 10) is None  # a short write counts
    sim.set_stall(0, 0x02)
    with pytest.raises(RuntimeError, match=r'^Send failed: Usb\("Bulk write failed: Pipe error"\)$'):
        dev.send_frame(1, False, False, False, 0, b"", 10)
    sim.unplug(0)
    with pytest.raises(RuntimeError) as info:
        dev.send_frame(1, False, False, False, 0, b"", 10)
    assert str(info.value) == 'Send failed: Usb("Bulk write failed: No such device (it may have been disconnected)")'


FILTER_CASES = [
    # (filters, frame (word, flags), passes)
    ([], (0x1FFFFFFF | 0x80000000, 0x02), True),
    ([(0x123, 0x7FF, False)], (0x123, 0), True),
    ([(0x123, 0x7FF, False)], (0x123, 0x02), True),
    ([(0x123, 0x7FF, False)], (0x80000123, 0), False),
    ([(0x123, 0x7FF, False)], (0x124, 0), False),
    ([(0x123, 0x7FF, None)], (0x123, 0), True),
    ([(0x123, 0x7FF, None)], (0x8001F123, 0), True),
    ([(0, 0, True)], (0x80000001, 0), True),
    ([(0, 0, True)], (0x1, 0), False),
    ([(0, 0, None)], (0x1, 0x02), True),
    ([(0x1234, 0xFFFFFFFF, True)], (0x80001234, 0x02), False),
    ([(0x1234, 0xFFFFFFFF, True)], (0x80001234, 0), True),
    ([(0x123, 0x7FF, False)], (0x123, 0x08), True),
    ([(1, 0x7FF, False), (2, 0x7FF, False)], (2, 0), True),
]


@pytest.mark.parametrize("filters,frame,passes", FILTER_CASES, ids=[str(i) for i in range(len(FILTER_CASES))])
def test_filters(sim, dev, filters, frame, passes):
    dev.set_filters(filters)
    word, flags = frame
    sim.inject_rx(0, rx_record(word, flags=flags))
    t0 = time.monotonic()
    got = dev.receive_frame(1000)
    assert (got is not None) == passes
    assert time.monotonic() - t0 < 0.5, "a filtered read returns at once"


def test_set_filters_prunes_the_buffer_and_clear_does_not_restore(sim, dev):
    sim.inject_rx(0, rx_record(1) + rx_record(2))
    assert dev.receive_frame(100)[1] == 1  # frame 2 is buffered
    dev.set_filters([(1, 0x7FF, False)])
    dev.clear_filters()
    assert dev.receive_frame(20) is None


def test_a_frame_rejected_when_taken_from_the_buffer(sim, dev):
    sim.inject_rx(0, rx_record(1) + rx_record(2))
    dev.set_filters([])
    assert dev.receive_frame(100)[1] == 1
    dev.set_filters([(2, 0x7FF, False)])
    assert dev.receive_frame(100)[1] == 2


def test_a_malformed_filter_leaves_the_old_ones_in_force(sim, dev):
    dev.set_filters([(5, 0x7FF, False)])
    with pytest.raises(ValueError):
        dev.set_filters([(1, 0x7FF, False), (2, 0x7FF, False), (3, 0x7FF)])
    sim.inject_rx(0, rx_record(1) + rx_record(5))
    assert dev.receive_frame(100)[1] == 5


def test_frames_between_two_adapters(sim, pair):
    a, b = pair
    a.send_frame(0x321, True, False, False, 3, b"abc", 100)
    ts, *frame = b.receive_frame(1000)
    assert frame == [0x321, True, False, False, 3, b"abc"]
    assert a.receive_frame(20) is None  # no loopback


def test_concurrent_senders_and_receivers(sim, pair):
    """4 threads send and 2 receive on one object pair: every frame arrives once, in sender order."""
    a, b = pair
    sim.enable_log(False)
    sim.set_tx_fifo(0, 64)
    per_sender = 300
    barrier = threading.Barrier(6)
    received = []
    lock = threading.Lock()
    done = threading.Event()
    errors = []

    def sender(k):
        barrier.wait()
        try:
            for i in range(per_sender):
                a.send_frame(k, False, False, False, 2, struct.pack("<H", i), 2000)
        except Exception as e:  # pragma: no cover
            errors.append(e)

    def receiver():
        barrier.wait()
        while True:
            f = b.receive_frame(50)
            if f is None:
                if done.is_set():
                    return
                continue
            with lock:
                received.append(f)

    threads = [threading.Thread(target=sender, args=(k,)) for k in range(4)]
    threads += [threading.Thread(target=receiver) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads[:4]:
        t.join()
    deadline = time.monotonic() + 10
    while len(received) < 4 * per_sender and time.monotonic() < deadline:
        time.sleep(0.01)
    done.set()
    for t in threads[4:]:
        t.join()
    assert errors == []
    by_sender = defaultdict(list)
    for ts, arb_id, *_rest, data in sorted(received):
        by_sender[arb_id].append(struct.unpack("<H", data)[0])
    assert {k: len(v) for k, v in by_sender.items()} == {k: per_sender for k in range(4)}
    for k, seq in by_sender.items():
        assert seq == list(range(per_sender)), f"sender {k} out of order"
