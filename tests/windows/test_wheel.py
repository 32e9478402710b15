"""The Windows wheel as installed, on python.org's Windows CPython under Wine, against simulated adapters.

The simulated adapters' libusb-1.0.dll is loaded first under the name of the libusb bundled in the
wheel, so that the module, whose import names that file, takes it; a child process without it
checks the bundled library itself.
"""

from __future__ import annotations

import ctypes
import glob
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import pytest

# Found, not imported: the module must not load before the simulated adapters do.
SITE = os.path.dirname(importlib.util.find_spec("vorel_pythoncan_ext").origin)
BUNDLED = glob.glob(os.path.join(SITE, "libusb-1.0-*.dll"))


def _load_simulated_adapters() -> str:
    assert len(BUNDLED) == 1, f"the wheel bundles one libusb beside the module, found {BUNDLED}"
    path = os.path.join(tempfile.mkdtemp(), os.path.basename(BUNDLED[0]))
    shutil.copy(os.environ["VOREL_SIM_DLL"], path)
    ctypes.CDLL(path)
    return path


SIM_PATH = _load_simulated_adapters()

import can  # noqa: E402
import vorel_pythoncan_ext as ext  # noqa: E402
from vorel_sim import Sim  # noqa: E402

SERIALS = ["VOR.EL:CANH0001", "VOR.EL:CANH0002"]


@pytest.fixture
def sim():
    s = Sim(SIM_PATH)
    s.reset()
    s.add_adapters(2)
    yield s
    s.reset()


@pytest.fixture
def pair(sim):
    a, b = (ext.NativeVorelDevice(s) for s in SERIALS)
    for d in (a, b):
        d.set_bitrate(500000, 875)
        d.set_bus_state(True)
    yield a, b
    for d in (a, b):
        d._release()


def test_list_open_configure_send_receive(sim, pair):
    assert sorted(ext.list_devices()) == SERIALS
    a, b = pair
    assert a.get_device_info()[2] == 1
    a.send_frame(0x123, False, False, False, 3, b"\x01\x02\x03", 500)
    a.send_frame(0x1ABCDE, True, False, False, 8, bytes(range(8)), 500)
    got = [b.receive_frame(2000) for _ in range(2)]
    assert [g[1:] for g in got] == [(0x123, False, False, False, 3, b"\x01\x02\x03"),
                                    (0x1ABCDE, True, False, False, 8, bytes(range(8)))]
    assert got[0][0] <= got[1][0]
    assert b.receive_frame(50) is None


def test_periodic_task_on_its_native_thread(sim, pair):
    a, b = pair
    task = a.start_periodic([(0x10, False, False, False, 1, b"\x07")], 10000, None)
    time.sleep(0.5)
    a.stop_periodic(task)
    n = 0
    while (m := b.receive_frame(100)) is not None:
        assert m[1:] == (0x10, False, False, False, 1, b"\x07")
        n += 1
    # 50 at 10 ms; Wine's timers and a busy machine may lose some time, never add frames.
    assert 10 <= n <= 51, n


def test_errors_carry_their_kind(sim, pair):
    with pytest.raises(RuntimeError) as e:
        ext.NativeVorelDevice("VOR.EL:NOPE")
    assert e.value.kind == "DeviceNotFound"
    a, _ = pair
    a._release()
    with pytest.raises(RuntimeError) as e:
        a.get_bus_state()
    assert e.value.kind == "NotOpen"


def test_plugin_receiver_and_eight_senders_at_once(sim):
    per_thread, threads = 50, 8
    with can.Bus(interface="vorel", channel=SERIALS[0], bitrate=500000) as a, \
            can.Bus(interface="vorel", channel=SERIALS[1], bitrate=500000) as b:
        errors: list[BaseException] = []

        def send(t: int) -> None:
            try:
                for i in range(per_thread):
                    a.send(can.Message(arbitration_id=0x100 + t, data=[i], is_extended_id=False), timeout=5)
            except BaseException as exc:  # noqa: BLE001 - reported below
                errors.append(exc)

        workers = [threading.Thread(target=send, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        got = []
        deadline = time.monotonic() + 60
        while len(got) < per_thread * threads and time.monotonic() < deadline:
            m = b.recv(1.0)
            if m is not None:
                got.append(m)
        for w in workers:
            w.join()
        assert not errors
        assert len(got) == per_thread * threads
        for t in range(threads):
            assert [m.data[0] for m in got if m.arbitration_id == 0x100 + t] == list(range(per_thread))
        assert all(x.timestamp <= y.timestamp for x, y in zip(got, got[1:]))
        assert b.recv(0.05) is None


def test_the_bundled_libusb_loads_and_finds_nothing():
    out = subprocess.run([sys.executable, "-c", "import vorel_pythoncan_ext as m; print(m.list_devices())"],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[]"
