"""The clients python-can users pair with a bus (cantools, can-isotp, udsoncan, Notifier), over two
simulated adapters."""

from __future__ import annotations

import threading

import can
import cantools
import isotp
import pytest
import udsoncan
from udsoncan.client import Client
from udsoncan.connections import PythonIsoTpConnection

pytestmark = pytest.mark.plain_only

A, B = "VOR.EL:CANH0001", "VOR.EL:CANH0002"

DBC = """VERSION ""
BU_: ECU TESTER
BO_ 291 Engine: 8 ECU
 SG_ Speed : 0|16@1+ (0.01,0) [0|655.35] "km/h" TESTER
 SG_ Gear : 16|4@1+ (1,0) [0|15] "" TESTER
 SG_ Temp : 24|8@1- (1,-40) [-168|87] "degC" TESTER
"""


@pytest.fixture
def buses(sim):
    sim.add_adapters(2)
    with can.Bus(interface="vorel", channel=A, bitrate=1_000_000) as a, \
            can.Bus(interface="vorel", channel=B, bitrate=1_000_000) as b:
        yield a, b


def test_cantools_encodes_and_decodes_through_a_dbc(buses):
    a, b = buses
    db = cantools.database.load_string(DBC, "dbc")
    engine = db.get_message_by_name("Engine")
    values = {"Speed": 123.45, "Gear": 4, "Temp": -12}
    a.send(can.Message(arbitration_id=engine.frame_id, data=engine.encode(values), is_extended_id=False))
    got = b.recv(1.0)
    assert got is not None and got.arbitration_id == 0x123
    assert db.decode_message(got.arbitration_id, got.data) == values


def isotp_stack(bus, txid, rxid, blocksize):
    params = {"stmin": 0, "blocksize": blocksize, "max_frame_size": 4095, "rx_flowcontrol_timeout": 2000,
              "rx_consecutive_frame_timeout": 2000}
    address = isotp.Address(isotp.AddressingMode.Normal_11bits, txid=txid, rxid=rxid)
    return isotp.CanStack(bus, address=address, params=params)


@pytest.mark.parametrize("blocksize", [0, 8, 1])
def test_isotp_moves_4095_bytes_both_ways_with_flow_control(buses, blocksize):
    a, b = buses
    left, right = isotp_stack(a, 0x7E0, 0x7E8, blocksize), isotp_stack(b, 0x7E8, 0x7E0, blocksize)
    left.start()
    right.start()
    try:
        for sender, receiver, seed in ((left, right, 1), (right, left, 2)):
            payload = bytes((i * 7 + seed) & 0xFF for i in range(4095))
            sender.send(payload, send_timeout=10)
            assert receiver.recv(block=True, timeout=10) == payload
    finally:
        left.stop()
        right.stop()


def test_udsoncan_reads_a_data_identifier_from_a_small_server(buses):
    a, b = buses
    vin = b"VORELSIM000000042"
    server = isotp_stack(b, 0x7E8, 0x7E0, 0)
    server.start()
    stop = threading.Event()

    def serve():
        while not stop.is_set():
            request = server.recv(block=True, timeout=0.1)
            if request == bytes([0x22, 0xF1, 0x90]):
                server.send(bytes([0x62, 0xF1, 0x90]) + vin)

    worker = threading.Thread(target=serve)
    worker.start()
    config = dict(udsoncan.configs.default_client_config)
    config["data_identifiers"] = {0xF190: udsoncan.AsciiCodec(17)}
    try:
        with Client(PythonIsoTpConnection(isotp_stack(a, 0x7E0, 0x7E8, 0)), config=config) as client:
            response = client.read_data_by_identifier(0xF190)
        assert response.positive and response.service_data.values[0xF190] == vin.decode()
    finally:
        stop.set()
        worker.join()
        server.stop()


def test_notifier_with_a_buffered_reader(buses):
    a, b = buses
    reader = can.BufferedReader()
    notifier = can.Notifier(b, [reader])
    try:
        for i in range(50):
            a.send(can.Message(arbitration_id=0x200 + i, data=[i], is_extended_id=False))
        got = [reader.get_message(1.0) for _ in range(50)]
    finally:
        notifier.stop()
    assert [m.arbitration_id for m in got] == [0x200 + i for i in range(50)]
