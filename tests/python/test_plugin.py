"""The python-can plug-in: can.Bus(interface="vorel") against two simulated adapters on one bus."""

from __future__ import annotations

import contextlib
import gc
import math
import re
import struct
import threading
import time

import can
import pytest
from can import BusState, CanInitializationError, CanOperationError, CanTimeoutError, Message

import vorel_pythoncan_ext
import vorel_sim
from can_vorel import VorelBus, VorelCyclicTask
from conftest import bulk_out

A, B = "VOR.EL:CANH0001", "VOR.EL:CANH0002"


@pytest.fixture
def two(sim, request):
    sim.add_adapters(2)
    a = can.Bus(interface="vorel", channel=A, bitrate=500000)
    b = can.Bus(interface="vorel", channel=B, bitrate=500000)
    yield a, b
    a.shutdown()
    b.shutdown()
    request.node.funcargs.pop("two", None)
    del a, b
    gc.collect()


def drain(bus, quiet=0.1):
    out = []
    while (m := bus.recv(quiet)) is not None:
        out.append(m)
    return out


def test_the_entry_point_and_detection(sim):
    sim.add_adapters(2)
    sim.set_name(1, "gateway")
    # Sorted by serial (not in the USB stack's order), with what a GUI shows of each.
    detail = {"supports_fd": False, "hardware_version": "1.0.0.0", "firmware_version": "2.1.0.0"}
    assert can.detect_available_configs("vorel") == [
        {"interface": "vorel", "channel": A, "name": "", **detail},
        {"interface": "vorel", "channel": B, "name": "gateway", **detail},
    ]
    with can.Bus(interface="vorel", channel=A) as bus:
        assert isinstance(bus, VorelBus)
        assert bus.channel_info == f"VOREL USB CAN {A}"
        assert str(bus) == bus.channel_info
        # One that is in use is still listed, by its serial.
        assert can.detect_available_configs("vorel")[0] == {"interface": "vorel", "channel": A, "supports_fd": False}


def test_opening_configures_bit_rate_mode_and_bus(sim, caplog):
    sim.add_adapters(1)
    caplog.set_level("WARNING", logger="can.vorel")
    # The sample point nearest the one asked, above or below it, and a warning when it is not it.
    bus = VorelBus(None, bitrate=250000, sample_point=80.0, unknown_option=1, fd=False, single_handle=True)
    st = sim.state(0)
    assert st.bittiming == (250000, 812, 250, 0, 12, 3, 3, 12)  # 81.25 %: 75 % is further
    assert (st.mode, st.bus_on) == (0, True)
    assert bus.channel == A
    assert bus.bit_timing.sample_point == 81.25
    bus.shutdown()
    assert not sim.state(0).bus_on
    assert [r.getMessage() for r in caplog.records if r.name == "can.vorel"] == [
        "The adapter cannot sample at 80 % at 250000 bit/s; the nearest sample point, 81.25 %, was written"]
    caplog.clear()
    with VorelBus(A, bitrate=250000, sample_point=81.25) as bus:  # exactly reachable: no warning
        assert sim.state(0).bittiming[4:6] == (12, 3)
    assert [r for r in caplog.records if r.name == "can.vorel"] == []
    # A BitTiming is written as it is (one record: no propagation segment), its clock adjusted
    # to the adapter's as python-can adjusts it.
    timing = can.BitTiming(f_clock=24_000_000, brp=3, tseg1=12, tseg2=3, sjw=2)
    with pytest.warns(UserWarning, match="Adjusted f_clock"):
        bus = VorelBus(A, timing=timing, listen_only=True, loopback=True)
    with bus:
        st = sim.state(0)
        assert st.bittiming == (500000, 812, 125, 0, 12, 3, 2, 6)
        assert st.mode == 0x03
        assert bus.bit_timing == can.BitTiming(f_clock=48_000_000, brp=6, tseg1=12, tseg2=3, sjw=2)
    # What the adapter cannot do is refused before the bus goes on, saying why.
    refused = [
        (dict(bitrate=900000), "The adapter cannot run at 900000 bit/s within 0.5 %: the nearest it reaches is 888888 bit/s"),
        (dict(sample_point=0.875), "sample_point is in percent, from 50 to 95 (87.5 is common), not 0.875"),
        (dict(sample_point=96), "sample_point is in percent, from 50 to 95"),
        (dict(timing=can.BitTiming(f_clock=48_000_000, brp=4, tseg1=13, tseg2=4, sjw=2)),
         "tseg1 13 is above the adapter's tseg1_max of 12"),
        (dict(timing=can.BitTiming(f_clock=48_000_000, brp=4, tseg1=12, tseg2=5, sjw=4)),
         "sjw 4 is above the adapter's sjw_max of 3"),
        (dict(timing=can.BitTiming(f_clock=48_000_000, brp=3, tseg1=12, tseg2=5, sjw=3)),
         "brp 3 is not brp_min 2 plus a multiple of the adapter's brp_inc of 2"),
        (dict(timing=can.BitTiming(f_clock=50_000_000, brp=5, tseg1=12, tseg2=3, sjw=1)),
         "The specified timing.f_clock value 50000000 doesn't match any of the allowed device f_clock values: 48000000"),
        (dict(fd=True), "CAN FD is not supported by this adapter"),
        (dict(data_bitrate=2_000_000), "CAN FD is not supported by this adapter"),
        (dict(timing=can.BitTimingFd.from_sample_point(f_clock=80_000_000, nom_bitrate=500000, nom_sample_point=80,
                                                       data_bitrate=2_000_000, data_sample_point=80)),
         "CAN FD is not supported by this adapter"),
    ]
    sim.set_bt_const(0, [1, 12, 1, 8, 3, 2, 1024, 2])  # tseg1, tseg2, sjw, brp limits
    sim.clear_log()
    for kwargs, text in refused:
        with pytest.raises(CanInitializationError, match=re.escape(text)):
            VorelBus(A, **kwargs)
    # Nothing written but the bus switched off (before the adapter's stale frames are dropped).
    written = [(t.request, t.data) for t in sim.log() if t.is_vendor and t.request_type & 0x80 == 0]
    assert set(written) <= {(21, bytes(4))}
    sim.set_bt_const(0, [1, 16, 1, 8, 4, 1, 1024, 1])
    # A rate just below one the search finds is taken when it is the nearer.
    with VorelBus(A, bitrate=888000) as bus:
        assert sim.state(0).bittiming[0] == 888888  # python-can rounds where the adapter truncates
        # 16 of 18 quanta (88.9 %) is nearer 87.5 % than 15 (83.3 %)
        assert bus.bit_timing == can.BitTiming(f_clock=48_000_000, brp=3, tseg1=15, tseg2=2, sjw=2)


@pytest.mark.dropin_only("the emulated devices cannot refuse libusb_open")
def test_an_adapter_without_permission_is_named_so_with_the_remedy(sim):
    sim.add_adapters(2)
    sim.set_open_error(1, vorel_sim.ERROR_ACCESS)  # no udev rule: libusb_open is refused
    probes = sorted(vorel_pythoncan_ext._probe_adapters(), key=lambda p: p["serial"] or "~")  # in the USB stack's order
    assert [(p["serial"], p["open"], p["claim"]) for p in probes] == [(A, 0, 0), (None, -3, 0)]
    with pytest.raises(CanInitializationError) as info:
        VorelBus(B)  # a serial it cannot check: the adapter that would not open is named
    assert str(info.value).startswith(
        f"No VOREL adapter with serial {B} among those that could be opened (attached: {A}); permission was denied "
        f"for the one at bus {probes[1]['bus']} address {probes[1]['address']}. Install the udev rule")
    with VorelBus(A):  # the other one opens as ever, and is held now
        assert [p["claim"] for p in vorel_pythoncan_ext._probe_adapters() if p["serial"] == A] == [vorel_sim.ERROR_BUSY]
    configs = can.detect_available_configs("vorel")
    assert [c["channel"] for c in configs] == ["", A]
    assert configs[0]["unavailable"] == f"permission denied (bus {probes[1]['bus']} address {probes[1]['address']})"


def test_state_and_bus_error_reporting_at_open(sim):
    sim.add_adapters(1)
    with VorelBus(A, state=BusState.PASSIVE, berr_reporting=True) as bus:
        assert sim.state(0).mode == 0x02 | 0x10  # listen-only, bus errors reported
        assert bus.state == BusState.PASSIVE
    del bus
    gc.collect()
    with VorelBus(A, state=BusState.ACTIVE) as bus:
        assert sim.state(0).mode == 0
        assert bus.state == BusState.ACTIVE


def test_opening_by_name_and_a_numeric_channel(sim):
    sim.add_adapter("VOR.EL:CANH0001", name=b"left")
    sim.add_adapter("1234", name=b"odd")
    with can.Bus(interface="vorel", name="LEFT") as bus:
        assert bus.device_name == "left"
    with can.Bus(interface="vorel", channel=1234) as bus:  # as python-can's CLI passes it
        assert bus.device_name == "odd"


def test_failures_raise_initialization_errors_and_release_the_adapter(sim):
    sim.add_adapters(2)
    with pytest.raises(CanInitializationError) as info:
        can.Bus(interface="vorel", channel=None)
    # Worded for a person, told apart by the kind the module's error carries.
    assert info.value.__cause__.kind == "MultipleDevicesFound"
    assert str(info.value) == f"Several VOREL adapters are attached ({A}, {B}): give the serial of one as the channel"
    with pytest.raises(CanInitializationError, match=re.escape(f"No VOREL adapter with serial X1 (attached: {A}, {B})")):
        can.Bus(interface="vorel", channel="X1")
    with pytest.raises(CanInitializationError, match=re.escape(f"No VOREL adapter named 'nobody' (attached: {A}, {B})")):
        can.Bus(interface="vorel", name="nobody")
    with pytest.raises(CanInitializationError) as info:
        can.Bus(interface="vorel", channel=A, bitrate=2_000_000)
    assert "Hardware constraint violated" in str(info.value)
    # Released without waiting for the native object to be collected.
    assert sim.wait_counters(handles=0)["handles"] == 0
    with can.Bus(interface="vorel", channel=A):
        with pytest.raises(CanInitializationError, match=re.escape(
                f"The VOREL adapter {A} is in use by this program: another bus of it has it open "
                "(shut that one down first)")):
            can.Bus(interface="vorel", channel=A)
    for bad in (-1, 0, True, 1.5):
        with pytest.raises(CanInitializationError, match=re.escape(
                f"bitrate must be a whole number of bit/s above 0, not {bad!r}")):
            can.Bus(interface="vorel", channel=A, bitrate=bad)
    for bad in (-1, True, 1.5):
        with pytest.raises(CanInitializationError, match="rx_queue_size must be a whole number of frames >= 0"):
            can.Bus(interface="vorel", channel=A, rx_queue_size=bad)
    for bad in (0, 257, True, 1.5):
        with pytest.raises(CanInitializationError,
                           match=re.escape(f"rx_transfers is the number of USB reads in flight, 1 to 256, not {bad!r}")):
            can.Bus(interface="vorel", channel=A, rx_transfers=bad)


KINDS = [
    Message(arbitration_id=0x123, data=[1, 2], is_extended_id=False),
    Message(arbitration_id=0x1ABCDEF0, data=bytes(range(8)), is_extended_id=True),
    Message(arbitration_id=0x7FF, is_remote_frame=True, dlc=4, is_extended_id=False),
    Message(arbitration_id=0x100, is_remote_frame=True, dlc=0, is_extended_id=True),
    Message(arbitration_id=0x10, data=[], is_extended_id=False),
]  # error frames are the controller's to send: send() refuses them


def test_every_message_kind_both_ways(two):
    a, b = two
    for tx, rx in ((a, b), (b, a)):
        t0 = time.time()
        for m in KINDS:
            before = (m.arbitration_id, bytes(m.data), m.dlc)
            tx.send(m)
            assert (m.arbitration_id, bytes(m.data), m.dlc) == before  # never modified
        got, arrival = [], []
        while (r := rx.recv(0.1)) is not None:
            got.append(r)
            arrival.append(time.time())
        assert len(got) == len(KINDS)
        for sent, r, at in zip(KINDS, got, arrival):
            assert r.arbitration_id == sent.arbitration_id
            assert r.is_extended_id == sent.is_extended_id
            assert r.is_remote_frame == sent.is_remote_frame
            assert r.is_error_frame == sent.is_error_frame
            assert r.dlc == sent.dlc
            assert bytes(r.data) == (b"" if sent.is_remote_frame else bytes(sent.data))
            assert r.is_rx and r.channel == rx.channel
            assert abs(r.timestamp - at) < 0.1
        stamps = [r.timestamp for r in got]
        assert stamps == sorted(stamps) and stamps[0] >= t0 - 0.1


def test_receive_own_messages_and_the_counters(sim):
    sim.add_adapters(2)
    with VorelBus(A, receive_own_messages=True) as a, VorelBus(B) as b:
        assert sim.state(0).mode == 0  # not the controller's loopback
        a.send_periodic(Message(arbitration_id=0x77, is_extended_id=False), 0.01, duration=0.03)  # never echoed
        sent = [Message(arbitration_id=0x40 + i, data=[i], is_extended_id=False) for i in range(5)]
        for m in sent:
            a.send(m)
        b.send(Message(arbitration_id=0x10, is_extended_id=False))
        time.sleep(0.1)
        got = drain(a)
        own = [m for m in got if not m.is_rx]
        assert [(m.arbitration_id, bytes(m.data)) for m in own] == [(m.arbitration_id, bytes(m.data)) for m in sent]
        assert [m.arbitration_id for m in got if m.is_rx] == [0x10]
        assert [m.arbitration_id for m in drain(b) if m.arbitration_id != 0x77] == [0x40 + i for i in range(5)]
        stats = a.get_stats()
        assert stats == {"frames_sent": 5, "frames_received": 6, "rx_overruns": 0, "bus_off_recoveries": 0,
                         "bus_off_restart_failures": 0, "tx_error_count": 0, "rx_error_count": 0}
        sim.set_error_counters(0, 12, 34)
        assert (a.get_stats()["tx_error_count"], a.get_stats()["rx_error_count"]) == (34, 12)


@pytest.mark.parametrize("auto_reset", [False, True])
def test_a_bus_off_is_reported_and_recovered(sim, auto_reset):
    sim.add_adapters(1)
    with VorelBus(A, can_filters=[{"can_id": 0x123, "can_mask": 0x7FF}], auto_reset=auto_reset) as bus:
        sim.set_error_counters(0, 0, 256)  # the controller goes bus-off
        first = bus.recv(1.0)  # within a reading of the state, past the filters
        assert (first.is_error_frame, first.arbitration_id, first.dlc) == (True, 0x40, 8)
        if auto_reset:
            restarted = bus.recv(1.0)
            assert (restarted.is_error_frame, restarted.arbitration_id) == (True, 0x100)
            assert bus.state == BusState.ACTIVE and bus.get_stats()["bus_off_recoveries"] == 1
        else:
            assert bus.state == BusState.ERROR
            assert bus.recv(0.5) is None  # reported once
            bus.reset()
            assert bus.recv(0.1).arbitration_id == 0x100
            assert bus.state == BusState.ACTIVE and bus.get_stats()["bus_off_recoveries"] == 1
    with VorelBus(A, ignore_rx_error_frames=True) as bus:
        sim.set_error_counters(0, 0, 256)
        assert bus.recv(0.6) is None and bus.state == BusState.ERROR
        # The adapter's own error frames go too; other frames pass.
        sim.inject_frame(0, 0x20000088, 0x08, 8, bytes(8))
        sim.inject_frame(0, 0x123, 0, 1, b"\x01")
        assert [m.arbitration_id for m in drain(bus)] == [0x123]


# The mistakes a newcomer makes on a real bus, and what the controllers make of them.
WIRING_MISTAKES = {
    "peers at different bit rates": {"bitrate": 250000},
    "nobody else on the bus": None,
    "the only peer listens": {"listen_only": True},
}


@pytest.mark.parametrize("peer", list(WIRING_MISTAKES.values()), ids=list(WIRING_MISTAKES))
def test_a_frame_nobody_can_acknowledge_is_retried_into_error_passive(sim, peer):
    sim.add_adapters(2 if peer else 1)
    with VorelBus(A, berr_reporting=True) as a, (VorelBus(B, berr_reporting=True, **peer) if peer
                                                 else contextlib.nullcontext()) as b:
        a.send(Message(arbitration_id=0x123, data=[1], is_extended_id=False))
        time.sleep(0.2)
        assert a.state == BusState.PASSIVE and a.error_counters() == (128, 0)
        assert sim.state(0).frames_sent == 0 and sim.state(0).tx_queued == 1
        # Reported at every attempt, as long as it retries: the first twenty.
        reports = [a.recv(1.0) for _ in range(20)]
        assert all(m.is_error_frame for m in reports)
        # SocketCAN's classes: a missing acknowledgement, or (flagged by a peer at another rate)
        # a protocol error; the step into error-passive is one of them.
        assert reports[-1].arbitration_id & 0x20 and reports[-1].data[6] == 128
        assert any(m.arbitration_id & 0x04 and m.data[1] == 0x20 for m in reports)
        if peer and peer.get("bitrate"):
            # The peer decodes nothing: stuff errors at its rate, until it is error-passive too.
            seen = [b.recv(1.0) for _ in range(20)]
            assert all(m.is_error_frame and m.arbitration_id & 0x08 and m.data[2] == 0x04 for m in seen)
            assert b.error_counters()[1] >= 128 and b.state == BusState.PASSIVE
        elif peer:
            assert drain(b) == []


def test_a_bus_off_controller_sends_nothing_until_restarted(sim, two):
    a, b = two
    sim.bus_off(0)
    a.send(Message(arbitration_id=0x111, is_extended_id=False))
    assert [m.arbitration_id for m in drain(b, 0.3)] == []
    a.reset()  # a restart also drops what waited in the controller
    a.send(Message(arbitration_id=0x222, is_extended_id=False))
    assert [m.arbitration_id for m in drain(b)] == [0x222]
    assert sim.state(0).frames_sent == 1


def test_timestamps_stay_monotonic_across_the_counter_wrap(sim):
    sim.add_adapters(2)
    sim.set_clock(1, offset_us=2**32 - 30_000, bits=32)  # the receiver's counter wraps in 30 ms
    with VorelBus(A) as a, VorelBus(B) as b:
        stamps = []
        for i in range(6):
            a.send(Message(arbitration_id=i, is_extended_id=False))
            stamps.append(b.recv(1.0).timestamp)
            time.sleep(0.01)
        gaps = [y - x for x, y in zip(stamps, stamps[1:])]
        assert all(0.005 < g < 0.05 for g in gaps), gaps
        assert abs(stamps[-1] - time.time()) < 0.1


def test_filters_are_applied_on_the_adapter_side(two):
    a, b = two
    b.set_filters([{"can_id": 0x100, "can_mask": 0x700, "extended": False}, {"can_id": 0x1F, "can_mask": 0xFF}])
    for i, ext in ((0x123, False), (0x223, False), (0x123, True), (0x101F, True), (0x31F, False)):
        a.send(Message(arbitration_id=i, is_extended_id=ext))
    assert [(m.arbitration_id, m.is_extended_id) for m in drain(b)] == [(0x123, False), (0x101F, True), (0x31F, False)]
    b.set_filters(None)
    a.send(Message(arbitration_id=0x555, is_extended_id=False))
    assert [m.arbitration_id for m in drain(b)] == [0x555]


def test_recv_zero_and_recv_none(two):
    a, b = two
    t0 = time.monotonic()
    assert b.recv(0) is None
    assert time.monotonic() - t0 < 0.5
    got = []
    t = threading.Thread(target=lambda: got.append(b.recv(None)))
    t.start()
    time.sleep(0.05)
    a.send(Message(arbitration_id=7, is_extended_id=False))
    t.join(2)
    assert got and got[0].arbitration_id == 7
    waiting = threading.Thread(target=lambda: got.append(b.recv(None)))
    waiting.start()
    time.sleep(0.05)
    t0 = time.monotonic()
    b.shutdown()
    waiting.join(2)
    assert not waiting.is_alive()
    assert time.monotonic() - t0 < 0.5
    assert got[-1] is None  # the wait ended without a message
    with VorelBus(B) as again:  # released: it opens again at once
        assert again.rx_overruns == 0


def test_send_errors(sim, two):
    a, b = two
    with pytest.raises(CanOperationError):
        a.send(Message(arbitration_id=1, is_fd=True, data=bytes(12)))
    sim.set_tx_fifo(0, 0)
    sim.set_stall(0, 0x02)
    with pytest.raises(CanOperationError) as info:
        a.send(Message(arbitration_id=1), timeout=0.01)
    assert isinstance(info.value.__cause__, RuntimeError) and "Pipe error" in str(info.value)
    sim.set_stall(0, 0x02, False)
    with pytest.raises(CanTimeoutError):
        a.send(Message(arbitration_id=1), timeout=0.01)
    # After an unplug every call says so in the same words, the module's text as the cause.
    sim.unplug(1)
    task = b.send_periodic(Message(arbitration_id=2), 0.01)
    for call in (lambda: b.recv(0.1), lambda: b.send(Message(arbitration_id=1)), lambda: b.state, lambda: b.recv(0),
                 lambda: task.modify_data(Message(arbitration_id=3))):
        with pytest.raises(CanOperationError, match=f"^Adapter {B} was unplugged$") as info:
            call()
        assert info.value.__cause__.libusb_code == -4 and "No such device" in str(info.value.__cause__)


def test_shutdown_is_idempotent_and_final(sim, two):
    a, _ = two
    a.send_periodic(Message(arbitration_id=1, is_extended_id=False), 0.01)
    a.shutdown()
    a.shutdown()
    assert not sim.state(0).bus_on
    for call in (lambda: a.send(Message(arbitration_id=1)), lambda: a.recv(0), lambda: a.state):
        with pytest.raises(CanOperationError):
            call()


def sent_ids(sim, adapter):
    return [(t.t_ns, t.data[8]) for t in sim.log() if t.kind == "bulk" and t.endpoint == 0x02 and t.adapter == adapter]


def test_periodic_tasks(sim, two):
    a, b = two
    sim.clear_log()
    task = a.send_periodic(Message(arbitration_id=0x300, data=[1], is_extended_id=False), 0.01)
    assert isinstance(task, VorelCyclicTask)
    time.sleep(0.055)
    task.modify_data(Message(arbitration_id=0x300, data=[2], is_extended_id=False))
    with pytest.raises(ValueError):
        task.modify_data(Message(arbitration_id=0x301, data=[2], is_extended_id=False))
    time.sleep(0.05)
    task.stop()
    got = drain(b)
    data = [m.data[0] for m in got]
    assert data[0] == 1 and data[-1] == 2 and sorted(data) == data
    # On a fixed schedule: never early, and a late send (a busy machine) does not shift the rest.
    times = [t for t, _ in sent_ids(sim, 0)]
    lateness = [t - (times[0] + k * 10_000_000) for k, t in enumerate(times)]
    assert len(times) >= 5 and all(-1_000_000 < d < 10_000_000 for d in lateness), lateness
    task.start()  # restartable
    time.sleep(0.03)
    task.stop()
    assert len(drain(b)) >= 2
    t0 = time.monotonic()
    limited = a.send_periodic([Message(arbitration_id=0x301, data=[i], is_extended_id=False) for i in range(2)],
                              0.01, duration=0.1)
    time.sleep(0.2)
    n = len(drain(b, 0.05))
    assert 8 <= n <= 11, n
    limited.stop()
    assert time.monotonic() - t0 < 1


def test_a_modifier_callback_uses_python_cans_task(two):
    a, b = two
    seen = []

    def bump(msg):
        msg.data[0] = (msg.data[0] + 1) % 256
        seen.append(msg.data[0])

    task = a.send_periodic(Message(arbitration_id=0x5, data=[0], is_extended_id=False), 0.01, modifier_callback=bump)
    assert isinstance(task, can.broadcastmanager.ThreadBasedCyclicSendTask)
    time.sleep(0.06)
    task.stop()
    received = [m.data[0] for m in drain(b)]
    assert len(received) >= 3
    assert received == seen[: len(received)]  # each frame carries what the callback made of it


def test_state_and_extras(sim, two):
    a, _ = two
    assert a.state == BusState.ACTIVE
    sim.set_error_counters(0, 10, 130)
    assert a.state == BusState.PASSIVE
    assert a.error_counters() == (130, 10)
    sim.set_error_counters(0, 0, 300)
    assert a.state == BusState.ERROR
    sim.set_error_counters(0, 0, 0)
    a.state = BusState.PASSIVE
    assert sim.state(0).mode & 0x02 and a.state == BusState.PASSIVE
    with pytest.raises(CanOperationError, match="listen-only"):
        a.send(Message(arbitration_id=1, is_extended_id=False))
    a.state = BusState.ACTIVE
    assert not sim.state(0).mode & 0x02 and a.state == BusState.ACTIVE
    a.led_mode = 3
    assert a.led_mode == 3
    a.device_name = "gateway-1"
    assert a.device_name == "gateway-1"
    assert a.versions == {"hardware": "1.0.0.0", "firmware": "2.1.0.0", "channels": 1}
    assert a.capabilities["clock_freq"] == 48_000_000
    sim.clear_log()
    a.flush_tx_buffer()
    assert [t.request for t in sim.log() if t.is_vendor and t.request != 21] == [63]  # 21: the state, read meanwhile
    for name in ("not valid!", "x" * 16, "günter"):
        with pytest.raises(ValueError, match=re.escape(
                f"a device name is up to 15 ASCII letters, digits, '_' and '-', not {name!r}")):
            a.device_name = name
    for state in (BusState.ERROR, "ACTIVE"):
        with pytest.raises(ValueError, match=re.escape(
                f"the bus state can be set to BusState.ACTIVE or BusState.PASSIVE (listen-only), not {state!r}")):
            a.state = state
    for bad in ({"can_id": 2**40, "can_mask": 0x7FF}, {"can_id": 0x100, "can_mask": -1}):
        with pytest.raises(ValueError, match="is an identifier or mask of up to 29 bits"):
            a.set_filters([bad])


def test_many_threads_share_one_bus_object(sim, two):
    a, b = two
    sim.enable_log(False)
    sim.set_tx_fifo(0, 64)
    per, senders = 150, 4
    barrier = threading.Barrier(senders + 2)
    got, lock, done = [], threading.Lock(), threading.Event()

    def send(k):
        barrier.wait()
        for i in range(per):
            a.send(Message(arbitration_id=k, data=struct.pack("<H", i), is_extended_id=False), timeout=2)

    def recv():
        barrier.wait()
        while not (done.is_set() and len(got) >= senders * per):
            m = b.recv(0.05)
            if m is None:
                if done.is_set():
                    return
                continue
            with lock:
                got.append((m.timestamp, m.arbitration_id, struct.unpack("<H", m.data)[0]))

    ts = [threading.Thread(target=send, args=(k,)) for k in range(senders)] + [threading.Thread(target=recv) for _ in range(2)]
    for t in ts:
        t.start()
    for t in ts[:senders]:
        t.join()
    deadline = time.monotonic() + 10
    while len(got) < senders * per and time.monotonic() < deadline:
        time.sleep(0.01)
    done.set()
    for t in ts[senders:]:
        t.join()
    assert len(got) == senders * per
    for k in range(senders):
        seq = [i for _, arb, i in sorted(got) if arb == k]
        assert seq == list(range(per))


# --- the receiver -----------------------------------------------------------------------------------

def load_seq(m: Message) -> int:
    """The load node's frame counter, from its 8 data bytes."""
    return struct.unpack("<Q", bytes(m.data))[0]


def run_threads(targets, seconds, stop):
    """Runs each target on a thread of its own for `seconds`, then sets `stop` and joins them."""
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()


def wait_until(cond, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not cond() and time.monotonic() < deadline:
        time.sleep(0.002)
    return cond()


@pytest.mark.plain_only
def test_full_load_with_a_consumer_that_stops_for_a_second_loses_nothing(sim):
    sim.add_adapters(2)
    sim.enable_log(False)
    with VorelBus(A, bitrate=1000000), VorelBus(B, bitrate=1000000) as b:
        sim.add_load(0, 100, "8")  # 9,009 frames a second; the adapter's own queue holds 64
        first = b.recv(1.0)
        time.sleep(1.0)  # a consumer that stops: a garbage-collection pause, a slow callback
        seqs = [load_seq(first)]
        end = time.monotonic() + 10
        while len(seqs) < 15000 and time.monotonic() < end:  # 1.7 s of the bus
            m = b.recv(0.1)
            assert m is not None and not m.is_error_frame
            seqs.append(load_seq(m))
        assert seqs == list(range(seqs[0], seqs[0] + 15000))  # none lost, none reordered
        assert b.rx_overruns == 0 and sim.state(1).rx_overflows == 0
        assert b.rx_stats()["high_water"] > 8000


@pytest.mark.plain_only
@pytest.mark.parametrize("frames", ["8", "0"])
def test_a_full_bus_with_frame_aligned_usb_completions_loses_nothing(sim, frames):
    # Completions once per 1 ms USB frame, 1 ms late with up to 200 us of jitter: each read carries
    # two records about every 2 ms, so only many reads in flight keep up with a full 1 Mbit/s bus
    # (8,900 8-byte or 21,300 0-byte frames a second). The adapter's queue has room enough that a
    # busy test machine does not decide the result; one read in flight would overflow it in 0.2 s.
    sim.add_adapters(2)
    sim.enable_log(False)
    sim.set_rx_queue(1, 4096)
    sim.set_usb_latency(1, 1000, 200)
    sim.set_usb_frame(1, 1000)
    want = 15000
    with VorelBus(A, bitrate=1000000), VorelBus(B, bitrate=1000000) as b:
        sim.add_load(0, 100, frames)
        seqs = []
        end = time.monotonic() + 20
        while len(seqs) < want and time.monotonic() < end:
            m = b.recv(0.5)
            assert m is not None and not m.is_error_frame
            seqs.append(load_seq(m) if frames == "8" else m.arbitration_id)
        assert len(seqs) == want
        if frames == "8":
            assert seqs == list(range(seqs[0], seqs[0] + want))  # none lost, none reordered
        else:  # 0-byte frames count in the identifier, mod 2048
            assert [(b2 - a2) % 2048 for a2, b2 in zip(seqs, seqs[1:])] == [1] * (want - 1)
        assert sim.state(1).rx_overflows == 0 and b.rx_overruns == 0
        stats = b.rx_stats()
        assert stats["max_transfers_in_flight"] == 64


def test_many_reads_in_flight_deliver_in_order_on_both_front_ends(sim):
    sim.add_adapters(2)
    sim.set_rx_queue(1, 3000)
    sim.set_usb_latency(1, 500, 300)
    sim.set_usb_frame(1, 1000)
    with VorelBus(B, rx_transfers=16) as b:
        for i in range(2000):
            sim.inject_frame(1, 0x100 + (i & 0xFF), 0, 2, struct.pack("<H", i))
        got = drain(b, 0.5)
        assert [struct.unpack("<H", bytes(m.data))[0] for m in got] == list(range(2000))
        stats = b.rx_stats()
        assert stats["max_transfers_in_flight"] == 16 and stats["received"] == 2000
        assert wait_until(lambda: b.rx_stats()["transfers_in_flight"] == 16)


@pytest.mark.plain_only
def test_threads_sharing_a_bus_take_frames_in_the_adapters_order(sim):
    # Three threads take a stream of about 5,000 frames a second: each one's frames must come in
    # the adapter's order (a fetch that queued its batch after a later fetch broke that), and
    # together they take every frame once.
    sim.add_adapters(2)
    sim.enable_log(False)
    with VorelBus(A, bitrate=1000000), VorelBus(B, bitrate=1000000) as b:
        sim.add_load(0, 56, "8")
        stop = threading.Event()
        taken: list[list[int]] = [[], [], []]

        def take(k):
            while not stop.is_set():
                if (m := b.recv(0.05)) is not None:
                    taken[k].append(load_seq(m))

        run_threads([lambda k=k: take(k) for k in range(3)], 2.0, stop)
    for seqs in taken:
        assert all(x < y for x, y in zip(seqs, seqs[1:]))
    every = sorted(x for seqs in taken for x in seqs)
    assert len(every) > 5000 and every == list(range(every[0], every[0] + len(every)))


def test_an_overrun_is_counted_exactly_and_reported_once(sim):
    sim.add_adapters(2)
    sim.set_rx_queue(1, 1000)  # the adapter keeps all: what is lost is lost on the host
    for ignore in (False, True):
        with VorelBus(B, rx_queue_size=100, ignore_rx_error_frames=ignore) as b:
            for i in range(250):
                sim.inject_frame(1, 0x100 + (i % 256), 0, 1, bytes([i]))
            assert wait_until(lambda: b.rx_stats()["received"] == 250)
            got = [b.recv(0) for _ in range(50)]
            sim.inject_frame(1, 0x7FF, 0, 1, b"\xee")
            assert wait_until(lambda: b.rx_stats()["received"] == 251)
            got += drain(b, 0.05)
            stats = b.rx_stats()
            assert stats["overruns"] == b.rx_overruns == 150 and stats["high_water"] == 100
            kept = [bytes(m.data)[0] for m in got if not m.is_error_frame]
            assert kept == list(range(100)) + [0xEE]  # the oldest are kept
            errors = [m for m in got if m.is_error_frame]
            if ignore:
                assert errors == []
            else:
                # Once, where the episode ended: ahead of the first frame the queue took again.
                assert len(errors) == 1 and got[100] is errors[0]
                e = errors[0]
                assert (e.arbitration_id, e.dlc, bytes(e.data)) == (0x4, 8, bytes([0, 0x01, 0, 0, 0, 0, 0, 0]))
                assert got[99].timestamp <= e.timestamp <= got[101].timestamp
            # Another overrun, and then the bus goes quiet: the reader still meets its error frame,
            # right after the last frame kept.
            for i in range(120):
                sim.inject_frame(1, 0x300, 0, 1, bytes([i]))
            assert wait_until(lambda: b.rx_stats()["received"] == 371)
            tail = drain(b, 0.05)
            assert [bytes(m.data)[0] for m in tail if not m.is_error_frame] == list(range(100))
            assert b.rx_overruns == 170
            if not ignore:
                assert [m.is_error_frame for m in tail] == [False] * 100 + [True]


@pytest.mark.plain_only
@pytest.mark.parametrize("rx_queue_size", [65536, 0])
def test_recv_time_outs_are_honoured_with_filters_rejecting_everything(sim, rx_queue_size):
    sim.add_adapters(2)
    sim.add_traffic(0, "0x123:1:01")  # a frame every millisecond, none of them wanted
    with VorelBus(B, rx_queue_size=rx_queue_size, can_filters=[{"can_id": 0x7FF, "can_mask": 0x7FF}]) as b:
        for timeout in (0, 0.01, 0.05, 0.5):
            t0 = time.monotonic()
            assert b.recv(timeout) is None
            took = time.monotonic() - t0
            assert timeout <= took < timeout + 0.02, (timeout, took)
        t0 = time.monotonic()
        assert b.recv(-1) is None and time.monotonic() - t0 < 0.02


def test_notifier_with_asyncio_reads_through_the_descriptor(sim):
    import asyncio

    sim.add_adapters(2)

    async def main():
        with VorelBus(A) as a, VorelBus(B) as b:
            reader = can.AsyncBufferedReader()
            notifier = can.Notifier(b, [reader], loop=asyncio.get_running_loop())
            try:
                assert notifier._readers == [b.fileno()]  # no thread: the loop waits on the descriptor
                for i in range(20):
                    a.send(Message(arbitration_id=0x300 + i, is_extended_id=False))
                got = [await asyncio.wait_for(reader.get_message(), 2) for _ in range(20)]
            finally:
                notifier.stop()
            assert [m.arbitration_id for m in got] == [0x300 + i for i in range(20)]
        with VorelBus(A, rx_queue_size=0) as a:
            with pytest.raises(NotImplementedError):
                a.fileno()

    asyncio.run(main())


@pytest.mark.plain_only
def test_timestamps_hold_to_the_host_clock_at_500_ppm_across_a_wrap_with_two_threads(sim):
    sim.add_adapters(2)
    sim.set_drift(1, 500)
    # The receiver's 32-bit counter wraps 15 s in.
    sim.set_clock(1, offset_us=(2**32 - 15_000_000 - sim.adapter_time_us(1, sim.now_ns())) % 2**32, bits=32)
    sim.enable_log(False)
    with VorelBus(A, bitrate=1000000), VorelBus(B, bitrate=1000000) as b:
        sim.add_load(0, 5, "8")  # one frame every 2.2 ms, counting
        got, lock, stop = [], threading.Lock(), threading.Event()

        def receive():
            while not stop.is_set():
                m = b.recv(0.1)
                now = time.time()
                if m is not None:
                    with lock:
                        got.append((load_seq(m), m.timestamp, now))

        run_threads([receive, receive], 30, stop)
    got.sort()
    seqs = [s for s, _, _ in got]
    assert seqs == list(range(seqs[0], seqs[0] + len(seqs)))
    stamps = [ts for _, ts, _ in got]
    assert all(y > x for x, y in zip(stamps, stamps[1:]))  # in order, across the wrap
    # Never after the frame was handed out, and, once the drift is known, within a millisecond
    # of it (the median: a receiving thread may be scheduled late now and then).
    assert max(ts - now for _, ts, now in got) < 0.0005
    late = sorted(now - ts for _, ts, now in got[-500:])
    assert late[len(late) // 2] < 0.001
    # The adapter's spacing, less its 500 ppm: 30 s of it would add 15 ms.
    span = (stamps[-1] - stamps[0]) / (seqs[-1] - seqs[0])
    assert span == pytest.approx(111e-6 / 0.05, rel=2e-4)


def _restart_counter(sim):
    sim.set_clock(1, offset_us=(2**32 - sim.adapter_time_us(1, sim.now_ns())) % 2**32, bits=32)


def _stall_usb(sim):
    sim.set_usb_latency(1, 300_000)  # what is collected now completes 0.3 s late
    time.sleep(0.02)
    sim.set_usb_latency(1, 0)


# (rx_queue_size, what happens 0.5 s in: to the consumer (a pause) or to the simulator)
STAMP_CASES = {
    "first recv 1 s late without the receiver": (0, None, 1.0),
    "a 1 s consumer pause without the receiver": (0, None, 1.0),
    "a 0.3 s USB stall": (65536, _stall_usb, 0),
    "the adapter's counter restarts": (65536, _restart_counter, 0),
}


@pytest.mark.plain_only
@pytest.mark.parametrize("case", list(STAMP_CASES))
def test_timestamps_lie_between_send_and_recv_whatever_happens(sim, case):
    # Every stamp lies between the send and the moment recv() returned it, and once reads are
    # prompt again, close to the send. Frames a killed program left in the receiving adapter's
    # queue are never handed out.
    rx_queue_size, disturb, pause = STAMP_CASES[case]
    sim.add_adapters(2)
    sim.enable_log(False)
    sim.set_drift(1, -400)
    for i in range(40):
        sim.inject_frame(1, 0x7E0, 0, 1, bytes([i]))
    time.sleep(0.05)
    with VorelBus(A, bitrate=1000000) as a, VorelBus(B, bitrate=1000000, rx_queue_size=rx_queue_size) as b:
        sent: dict[int, float] = {}

        def send():
            for i in range(600):
                sent[i] = time.time()
                a.send(Message(arbitration_id=0x100, data=struct.pack("<H", i), is_extended_id=False))
                time.sleep(0.005)

        sender = threading.Thread(target=send)
        sender.start()
        got = []
        start = time.monotonic()
        disturbed = case.startswith("first")
        if disturbed:
            time.sleep(pause)
        while time.monotonic() < start + 4:
            if not disturbed and time.monotonic() > start + 0.5:
                disturbed = True
                if disturb is not None:
                    disturb(sim)
                else:
                    time.sleep(pause)
            m = b.recv(0.1)
            now = time.time()
            if m is not None:
                got.append((m.arbitration_id, struct.unpack("<H", bytes(m.data))[0] if m.dlc == 2 else -1,
                            m.timestamp, now))
        sender.join()
    assert got and all(arb == 0x100 for arb, _, _, _ in got)  # none of the stale frames
    for _, i, stamp, now in got:
        assert sent[i] - 50e-6 <= stamp <= now
    prompt = [stamp - sent[i] for _, i, stamp, _ in got if sent[i] > sent[0] + 2.0]
    assert len(prompt) > 100 and max(prompt) < 0.005


def test_messages_built_by_the_module_are_those_python_would_build(sim, two):
    a, b = two
    sent = Message(arbitration_id=0x1ABCDEF, is_extended_id=True, data=b"\x01\x02\x03", channel=b.channel)
    a.send(sent)
    got = b.recv(1.0)
    assert type(got) is Message and got.equals(sent, timestamp_delta=None) and got.is_rx
    assert isinstance(got.data, bytearray) and got.channel == b.channel
    sim.add_adapter("VOR.EL:CANH0003")
    dev = vorel_sim_native("VOR.EL:CANH0003")
    with pytest.raises(TypeError, match="message_type has no object slot timestamp"):
        dev._use_messages(int, None)
    dev._use_messages(Message, "c")
    with pytest.raises(RuntimeError, match="The message class is set already"):
        dev._use_messages(Message, "c")
    del dev


def vorel_sim_native(serial):
    import vorel_pythoncan_ext

    return vorel_pythoncan_ext.NativeVorelDevice(serial)


# --- a program that exits while threads wait inside the module ----------------------------------------

EXIT_SCRIPTS = {
    "module receive": "import threading, time, vorel_pythoncan_ext as v\n"
                      "d = v.NativeVorelDevice(None)\n"
                      "def loop():\n    while True: d.receive_frame(20)\n"
                      "threading.Thread(target=loop, daemon=True).start(); time.sleep(0.1)\n",
    "module send": "import threading, time, vorel_pythoncan_ext as v\n"
                   "d = v.NativeVorelDevice(None)  # bus off: the FIFO fills and every write waits\n"
                   "def loop():\n    while True:\n        try: d.send_frame(1, False, False, False, 0, b'', 20)\n"
                   "        except RuntimeError: pass\n"
                   "threading.Thread(target=loop, daemon=True).start(); time.sleep(0.1)\n",
    "notifier": "import can, time\n"
                "bus = can.Bus(interface='vorel', channel=None)\n"
                "notifier = can.Notifier(bus, [can.BufferedReader()]); time.sleep(0.1)\n",
    "notifier, rx_queue_size=0": "import can, time\n"
                                 "bus = can.Bus(interface='vorel', channel=None, rx_queue_size=0)\n"
                                 "notifier = can.Notifier(bus, [can.BufferedReader()]); time.sleep(0.1)\n",
}


@pytest.mark.dropin_only("the child process gets its adapter from the drop-in's environment")
def test_leaving_without_shutdown_gives_python_cans_warning_and_no_traceback():
    import os
    import subprocess
    import sys

    script = "import can\nbus = can.Bus(interface='vorel', channel=None)\nbus.send(can.Message(arbitration_id=1))\n"
    out = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, VOREL_SIM_ADAPTERS="1"),
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0
    assert out.stderr == "VorelBus was not properly shut down\n"


@pytest.mark.dropin_only("the child process gets its adapter from the drop-in's environment")
@pytest.mark.parametrize("name", EXIT_SCRIPTS)
def test_exiting_while_a_thread_waits_in_the_module_is_clean(name):
    import os
    import subprocess
    import sys

    env = dict(os.environ, VOREL_SIM_ADAPTERS="1")
    for _ in range(4):
        out = subprocess.run([sys.executable, "-c", EXIT_SCRIPTS[name]], env=env, capture_output=True, text=True,
                             timeout=60)
        assert out.returncode == 0 and "terminate" not in out.stderr, (name, out.returncode, out.stderr)


INTERRUPTED_CALLS = {
    "recv(None)": "bus.recv(None)",
    "recv(6)": "bus.recv(6)",
    "recv(None), rx_queue_size=0": "bus.recv(None)",
    "send on a stuck bus": "Sim().set_tx_fifo(0, 0); bus.send(can.Message(arbitration_id=1), timeout=None)",
}


@pytest.mark.dropin_only("the child process gets its adapter from the drop-in's environment")
@pytest.mark.parametrize("call", INTERRUPTED_CALLS)
def test_ctrl_c_interrupts_a_call_that_waits(call):
    import os
    import signal
    import subprocess
    import sys

    queue = ", rx_queue_size=0" if "rx_queue_size=0" in call else ""
    # A suite run in the background inherits SIGINT ignored: the child puts Python's handler back.
    script = ("import can, signal, sys\nfrom vorel_sim import Sim\n"
              "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
              f"bus = can.Bus(interface='vorel', channel=None{queue})\n"
              "print('ready', flush=True)\n"
              f"try:\n    {INTERRUPTED_CALLS[call]}\n"
              "except KeyboardInterrupt:\n    print('interrupted', flush=True); bus.shutdown(); sys.exit(0)\n"
              "sys.exit(3)\n")
    child = subprocess.Popen([sys.executable, "-c", script], env=dict(os.environ, VOREL_SIM_ADAPTERS="1"),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    killer = threading.Timer(30, child.kill)  # a call that ignores the signal fails the test, not hangs it
    killer.start()
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)  # waiting in the module by now
        t0 = time.monotonic()
        child.send_signal(signal.SIGINT)
        assert child.stdout.readline() == "interrupted\n"
        took = time.monotonic() - t0
        assert child.wait(10) == 0, child.stderr.read()
    finally:
        killer.cancel()
        child.kill()
    assert took < 0.5  # the module waits in 50 ms slices


# --- input checked as python-can checks it -------------------------------------------------------------

def test_send_refuses_what_python_can_refuses_and_writes_nothing(sim, two):
    a, _ = two
    sim.clear_log()
    refused = [
        (dict(arbitration_id=0x800, is_extended_id=False), "Normal arbitration IDs must be less than 2^11"),
        (dict(arbitration_id=0x20000000, is_extended_id=True), "Extended arbitration IDs must be less than 2^29"),
        (dict(arbitration_id=1, data=bytes(9), is_extended_id=False), "DLC was 9 but it should be <= 8 for normal CAN frames"),
        (dict(arbitration_id=1, dlc=12, data=b"", is_extended_id=False), "DLC was 12 but it should be <= 8 for normal CAN frames"),
        (dict(arbitration_id=-1, is_extended_id=False), "arbitration IDs may not be negative"),
        (dict(arbitration_id=1, is_error_frame=True, is_extended_id=False),
         "error frames cannot be sent: the controller makes them"),
        (dict(arbitration_id=1, is_error_frame=True, is_remote_frame=True, is_extended_id=False),
         "a message cannot be a remote and an error frame at the same time"),
    ]
    for kwargs, text in refused:
        with pytest.raises(ValueError, match=re.escape(text)):
            a.send(Message(check=False, **kwargs))
    assert bulk_out(sim) == []
    ok = Message(arbitration_id=0x7FF, is_extended_id=False)
    with pytest.raises(ValueError, match="the timeout may not be NaN"):
        a.send(ok, timeout=math.nan)
    with pytest.raises(ValueError, match="the timeout may not be NaN"):
        a.recv(math.nan)
    for timeout in (-1.0, math.inf, 1e300):  # no wait, and no limit twice: never an OverflowError
        a.send(ok, timeout=timeout)
    assert len(bulk_out(sim)) == 3
    t0 = time.monotonic()
    assert a.recv(-5) is None and time.monotonic() - t0 < 0.05
    for period in (0, -1.0, math.nan, math.inf, 1e-7):
        with pytest.raises(ValueError, match=re.escape(
                f"the period must be a finite number of seconds, at least 1 µs (1e-6), not {period!r}")):
            a.send_periodic(ok, period)
    for duration in (0, -1, math.nan, math.inf):
        with pytest.raises(ValueError, match=re.escape(
                f"the duration must be None (no limit) or a finite number of seconds above 0, not {duration!r}")):
            a.send_periodic(ok, 0.01, duration)
    assert len(bulk_out(sim)) == 3  # none of them sent anything
    for mode in (5, -1, True, 1.5):
        with pytest.raises(ValueError, match="the LED mode must be 0, 1, 2, 3 or 4"):
            a.led_mode = mode
    a.led_mode = 4
    assert sim.state(0).led_mode == 4


def test_cyclic_tasks_restart_after_their_duration_and_take_changes_made_while_stopped(sim, two):
    a, b = two
    task = a.send_periodic(Message(arbitration_id=0x50, data=[1], is_extended_id=False), 0.01, duration=0.05)
    time.sleep(0.12)
    drain(b, 0.02)
    assert drain(b, 0.05) == []  # its duration is over
    task.start()  # and it starts again
    assert [bytes(m.data) for m in drain(b, 0.03)][:2] == [b"\x01", b"\x01"]
    task.stop()
    drain(b, 0.02)
    task.modify_data(Message(arbitration_id=0x50, data=[2], is_extended_id=False))
    assert drain(b, 0.03) == []  # stopped: the change waits for start()
    task.start()
    got = drain(b, 0.03)
    assert got and all(bytes(m.data) == b"\x02" for m in got)
    a.shutdown()
    task.stop()  # after shutdown: harmless


@pytest.mark.parametrize("bitrate", [125000, 10000])
def test_frames_sent_just_before_shutdown_reach_the_bus(sim, bitrate, caplog):
    sim.add_adapters(2)
    with VorelBus(B, bitrate=bitrate) as b:
        a = VorelBus(A, bitrate=bitrate)
        for i in range(16):  # 0.9 ms or 11 ms each on the wire; the adapter queues 16
            a.send(Message(arbitration_id=0x600 + i, data=bytes(8), is_extended_id=False))
        a.shutdown()
        assert [m.arbitration_id for m in drain(b, 0.3)] == [0x600 + i for i in range(16)]
    if bitrate != 10000:
        return
    # An adapter that queues more than it says (1 frame): shutdown waits no longer than its queue
    # would take, twice, and says how many frames may not have left.
    caplog.set_level("WARNING", logger="can.vorel")
    sim.set_capabilities(0, tx_size=1)
    sim.set_tx_fifo(0, 64)
    with VorelBus(B, bitrate=bitrate) as b:
        a = VorelBus(A, bitrate=bitrate)
        for i in range(20):  # 0.22 s on the wire
            a.send(Message(arbitration_id=0x600 + i, data=bytes(8), is_extended_id=False))
        t0 = time.monotonic()
        a.shutdown()
        took = time.monotonic() - t0
        got = drain(b, 0.3)
    assert took < 2 * 2 * 160 / bitrate + 0.05 + 0.3
    warned = [r.getMessage() for r in caplog.records if r.name == "can.vorel"]
    assert len(warned) == 1
    found = re.fullmatch(rf"VOREL USB CAN {A}: (\d+) frame\(s\) sent last may not have reached the bus when it "
                         "was switched off", warned[0])
    assert found and 20 - len(got) <= int(found[1]) <= 20


def test_a_cyclic_task_goes_on_from_now_after_a_stall_instead_of_bursting(sim):
    sim.add_adapters(2)
    with VorelBus(A) as bus:
        task = bus.send_periodic(Message(arbitration_id=0x55, is_extended_id=False), 0.01)
        time.sleep(0.05)
        sim.set_tx_fifo(0, 0)  # a stalled bus: each write waits out its 50 ms
        time.sleep(0.3)
        resumed = sim.now_ns()
        sim.set_tx_fifo(0, 16)
        time.sleep(0.06)
        task.stop()
        after = [t for t in bulk_out(sim, 0) if t.result == 0 and resumed <= t.t_ns < resumed + 30_000_000]
        assert 2 <= len(after) <= 8  # not the 30 frames the stall held up, back to back


@pytest.mark.plain_only
def test_shutdown_stops_many_tasks_at_once_while_threads_still_start_more(sim):
    sim.add_adapters(2)
    sim.enable_log(False)
    bus = VorelBus(A)
    for i in range(200):
        bus.send_periodic(Message(arbitration_id=0x100 + i, data=bytes(8), is_extended_id=False), 0.005)
    stop, refused = threading.Event(), []

    def keep_starting():
        while not stop.is_set():
            try:
                bus.send_periodic(Message(arbitration_id=0x7FF, is_extended_id=False), 0.005)
            except CanOperationError as e:
                refused.append(str(e))
                return

    starters = [threading.Thread(target=keep_starting) for _ in range(3)]
    for t in starters:
        t.start()
    time.sleep(0.3)
    t0 = time.monotonic()
    bus.shutdown()
    took = time.monotonic() - t0
    stop.set()
    for t in starters:
        t.join(5.0)
        assert not t.is_alive()
    assert took < 3.0  # 200 tasks on a full bus; bench/README.md has the figure
    assert refused == ["The bus has been shut down"] * 3
    sent = sim.state(0).frames_sent
    time.sleep(0.05)
    assert sim.state(0).frames_sent == sent  # nothing of a task runs on
    with pytest.raises(CanOperationError, match="The bus has been shut down"):
        bus.send_periodic(Message(arbitration_id=1), 0.01)


def test_shutdown_ends_every_call_and_frees_the_adapter_at_once(sim):
    sim.add_adapters(2)
    for rx_queue_size in (65536, 0):
        a = VorelBus(A, rx_queue_size=rx_queue_size)
        sim.set_tx_fifo(0, 0)  # a stuck bus: a send without a time-out waits for ever
        outcome = {}

        def run(name, fn):
            try:
                outcome[name] = fn()
            except CanOperationError as e:
                outcome[name] = str(e)

        waiting = [threading.Thread(target=run, args=("recv", lambda: a.recv(None))),
                   threading.Thread(target=run, args=("send", lambda: a.send(Message(arbitration_id=1))))]
        for t in waiting:
            t.start()
        task = a.send_periodic(Message(arbitration_id=2), 0.001)
        time.sleep(0.2)
        closers = [threading.Thread(target=a.shutdown) for _ in range(2)]
        for t in closers:
            t.start()
        for t in closers:
            t.join(2.0)
            assert not t.is_alive()
            # Whichever returns first, everything is stopped and released then.
            again = VorelBus(A)
            again.shutdown()
        for t in waiting:
            t.join(2.0)
        assert outcome == {"recv": None, "send": "The bus has been shut down"}
        task.stop()
        sim.set_tx_fifo(0, 16)
