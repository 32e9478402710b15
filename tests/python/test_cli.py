"""python-can's command-line tools against simulated adapters, through vorel-sim; mypy on the stubs."""

from __future__ import annotations

import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import can
import pytest

import vorel_pythoncan_ext
from vorel_sim import ERROR_ACCESS

# vorel-sim serves the command it runs through the drop-in libusb, whatever this suite runs on.
pytestmark = pytest.mark.dropin_only("vorel-sim's commands run on the drop-in libusb")

ROOT = pathlib.Path(__file__).resolve().parents[2]
SERIAL = "VOR.EL:CANH0001"


def vorel_sim(*args: str) -> list[str]:
    return [sys.executable, "-m", "vorel_sim", *args]


def test_vorel_sim_runs_a_command_against_its_adapters():
    code = "import vorel_pythoncan_ext as v; print(v.list_devices())"
    out = subprocess.run(vorel_sim("--serials", "VOR.EL:CANJ0007,VOR.EL:CANI0008", "--", sys.executable, "-c", code),
                         capture_output=True, text=True, timeout=30, check=True)
    # In the order libusb on Linux lists devices: the last one found comes first.
    assert out.stdout.strip() == "['VOR.EL:CANI0008', 'VOR.EL:CANJ0007']"
    # Hardware limits per adapter: their receive queues as the capabilities report them.
    code = ("import vorel_pythoncan_ext as v; "
            "print([v.NativeVorelDevice(s).get_device_capabilities()['rx_data_buffer_size'] for s in sorted(v.list_devices())])")
    out = subprocess.run(vorel_sim("--adapters", "3", "--rx-queue", "10,20", "--", sys.executable, "-c", code),
                         capture_output=True, text=True, timeout=30, check=True)
    assert out.stdout.strip() == "[10, 20, 20]"
    bad = subprocess.run(vorel_sim("--adapters", "1"), capture_output=True, text=True, timeout=30)
    assert bad.returncode != 0 and "no command given" in bad.stderr


# Opens the adapter alone on its bus, sends a frame nobody acknowledges, then reports what
# recv() gives until the adapter is gone (the faults come late enough for a loaded machine to
# have sent by then).
FAULTED = """
import can
with can.Bus(interface="vorel", channel="VOR.EL:CANH0001") as bus:
    bus.send(can.Message(arbitration_id=0x123, is_extended_id=False))
    try:
        while True:
            m = bus.recv(10)
            print("error frame", hex(m.arbitration_id) if m else None, flush=True)
    except can.CanOperationError as e:
        print("gone:", e, flush=True)
"""


def test_faults_from_the_command_line_and_the_summary_at_the_end():
    out = subprocess.run(vorel_sim("--adapters", "1", "--bus-off", "1@6", "--unplug", "VOR.EL:CANH0001@7.5", "--",
                                   sys.executable, "-c", FAULTED), capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["error frame 0x40", "gone: Adapter VOR.EL:CANH0001 was unplugged"]
    summary = out.stderr.splitlines()[-1]
    assert re.fullmatch(r"vorel-sim: VOR.EL:CANH0001: 0 frames sent, 0 received, 0 dropped by a full receive queue, "
                        r"\d+ sending attempts failed \(no acknowledgement or an error flag\); "
                        r"error counters TX 256 RX 0 \(bus-off\); unplugged", summary), summary


# A shell that runs this suite in the background leaves SIGINT ignored, and an ignored signal stays
# ignored across exec; the logger is started with it back to its default so that it can be stopped.
WITH_SIGINT = [sys.executable, "-c",
               "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execvp(sys.argv[1], sys.argv[1:])"]


def test_logger_records_the_bus(tmp_path):
    log = tmp_path / "bus.log"
    proc = subprocess.Popen(
        WITH_SIGINT + vorel_sim("--adapters", "1", "--traffic", "0x123:10:0102", "--traffic", "0x18DAF110:20:aa", "--",
                  sys.executable, "-m", "can.logger", "-i", "vorel", "-c", SERIAL, "-b", "500000", "-f", str(log)),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # Interrupt only once the logger is logging: a loaded machine may take seconds to start it.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and proc.poll() is None:
        if log.exists() and log.read_text().count("\n") >= 60:
            break
        time.sleep(0.2)
    proc.send_signal(signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"can.logger did not stop after SIGINT: {out} {err}")
    assert proc.returncode == 0, err
    lines = log.read_text().splitlines()
    std = [ln for ln in lines if "#123#" in ln or " 123#" in ln or "123#0102" in ln]
    ext = [ln for ln in lines if "18DAF110#AA" in ln]
    assert len(std) >= 20, lines[:5]
    assert len(ext) >= 10


def test_player_sends_a_recorded_log(tmp_path):
    recorded = tmp_path / "in.log"
    recorded.write_text("".join(f"({1.0 + i * 0.01:.6f}) vcan0 {0x100 + i:03X}#{i:02X}11\n" for i in range(10)))
    capture = tmp_path / "bus.asc"
    capture.write_text("left from an earlier run\n")
    out = subprocess.run(
        vorel_sim("--adapters", "1", "--ack-nodes", "1", "--capture", str(capture), "--", sys.executable, "-m", "can.player",
                  "-i", "vorel", "-c", SERIAL, "-b", "500000", str(recorded)),
        capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    # The capture replaced the old file and reads back with python-can's own reader.
    frames = list(can.ASCReader(str(capture)))
    assert [(m.arbitration_id, bytes(m.data)) for m in frames] == [(0x100 + i, bytes([i, 0x11])) for i in range(10)]
    gaps = [b.timestamp - a.timestamp for a, b in zip(frames, frames[1:])]
    assert all(0.005 < g < 0.05 for g in gaps), gaps


def test_viewer_shows_the_bus_in_a_terminal():
    import pty

    master, slave = pty.openpty()
    env = dict(os.environ, TERM="xterm", COLUMNS="120", LINES="40")
    proc = subprocess.Popen(
        vorel_sim("--adapters", "1", "--traffic", "0x321:10:beef", "--", sys.executable, "-m", "can.viewer",
                  "-i", "vorel", "-c", SERIAL, "-b", "500000"),
        stdin=slave, stdout=slave, stderr=slave, env=env, close_fds=True)
    os.close(slave)
    screen = b""
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and b"321" not in screen:
        try:
            import select

            if select.select([master], [], [], 0.2)[0]:
                screen += os.read(master, 65536)
        except OSError:
            break
    os.write(master, b"q")
    try:
        proc.wait(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
        os.close(master)
    assert b"321" in screen
    assert b"Traceback" not in screen


@pytest.mark.skipif(os.environ.get("VOREL_SKIP_MYPY") == "1", reason="type checking adds nothing to the sanitizer run")
def test_mypy_strict_on_the_plugin_and_the_examples():
    # The module's types come from the stubs installed with the distribution.
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "can_vorel", "examples"],
                         cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


def test_the_stubs_match_the_module():
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vorel_pythoncan_ext"], cwd=ROOT,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


# --- one bus shared by processes ------------------------------------------------------------------

@pytest.fixture
def served(tmp_path):
    """A bus with three adapters served by `vorel-sim serve` on a socket of this test's own."""
    sock = str(tmp_path / "bus.sock")
    server = subprocess.Popen(vorel_sim("serve", "--adapters", "3", "--socket", sock),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert "serving 3 adapter(s)" in server.stdout.readline()
    yield sock
    server.terminate()
    out, err = server.communicate(timeout=30)
    assert server.returncode == 0, err
    assert not os.path.exists(sock)
    assert "VOR.EL:CANH0001:" in out  # the frame counts of each adapter at the end


# Opens its adapter, says so, waits for a line on stdin, sends `count` frames of `send_id`, then
# prints what it received until the bus stays quiet for 300 ms.
PEER = """
import sys, vorel_pythoncan_ext as v
serial, send_id, count = sys.argv[1], int(sys.argv[2], 16), int(sys.argv[3])
d = v.NativeVorelDevice(serial)
d.set_bitrate(500000, 875)
d.set_bus_state(True)
print("ready", flush=True)
sys.stdin.readline()
for i in range(count):
    d.send_frame(send_id, False, False, False, 1, bytes([i]), 1000)
got = []
while (f := d.receive_frame(300)) is not None:
    got.append((f[1], f[6][0]))
print(got, flush=True)
"""


def attached(sock: str, *command: str, **kw) -> subprocess.Popen:
    return subprocess.Popen(vorel_sim("attach", "--socket", sock, "--", *command), text=True, **kw)


def try_open(sock: str, serial: str) -> subprocess.CompletedProcess:
    code = f"import vorel_pythoncan_ext as v; v.NativeVorelDevice({serial!r}); print('opened')"
    return subprocess.run(vorel_sim("attach", "--socket", sock, "--", sys.executable, "-c", code),
                          capture_output=True, text=True, timeout=30)


def test_three_processes_share_one_bus(served):
    peers = [attached(served, sys.executable, "-c", PEER, f"VOR.EL:CANH000{n}", sid, cnt,
                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
             for n, sid, cnt in ((1, "100", "20"), (2, "200", "20"), (3, "0", "0"))]
    for p in peers:
        assert p.stdout.readline().strip() == "ready", p.stderr.read()
    # Each adapter is held by its process, as on hardware.
    refused = try_open(served, "VOR.EL:CANH0002")
    assert refused.returncode != 0 and "Failed to claim interface: Resource busy" in refused.stderr
    for p in peers:
        p.stdin.write("go\n")
        p.stdin.flush()
    a, b, c = (eval(p.communicate(timeout=60)[0].strip().splitlines()[-1]) for p in peers)
    sent_a = [(0x100, i) for i in range(20)]
    sent_b = [(0x200, i) for i in range(20)]
    assert a == sent_b and b == sent_a
    # The listener sees both senders' frames, each sender's in its order, interleaved by the bus.
    assert [f for f in c if f[0] == 0x100] == sent_a and [f for f in c if f[0] == 0x200] == sent_b
    assert len(c) == 40


def test_a_process_that_dies_gives_its_adapter_back(served):
    holder = attached(served, sys.executable, "-c",
                      "import vorel_pythoncan_ext as v; d = v.NativeVorelDevice('VOR.EL:CANH0003'); "
                      "print('held', flush=True); d.receive_frame(0)",
                      stdout=subprocess.PIPE)
    assert holder.stdout.readline().strip() == "held"
    assert try_open(served, "VOR.EL:CANH0003").returncode != 0
    holder.kill()  # while blocked in a read that has no time-out
    holder.wait(timeout=10)
    deadline = time.monotonic() + 5
    while (again := try_open(served, "VOR.EL:CANH0003")).returncode != 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert again.stdout.strip() == "opened", again.stderr


def test_logger_in_one_process_records_a_program_in_another(served, tmp_path):
    log = tmp_path / "bus.asc"
    logger = attached(served, *WITH_SIGINT[:], sys.executable, "-m", "can.logger", "-i", "vorel",
                      "-c", "VOR.EL:CANH0001", "-b", "500000", "-f", str(log),
                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    sender = ("import can, time\n"
              "with can.Bus(interface='vorel', channel='VOR.EL:CANH0002', bitrate=500000) as bus:\n"
              "    time.sleep(1.0)\n"
              "    for i in range(10): bus.send(can.Message(arbitration_id=0x7A0 + i, data=[i], is_extended_id=False))\n"
              "    time.sleep(0.3)\n")
    deadline = time.monotonic() + 60
    while not log.exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    out = subprocess.run(vorel_sim("attach", "--socket", served, "--", sys.executable, "-c", sender),
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    logger.send_signal(signal.SIGINT)
    logger.communicate(timeout=30)
    frames = [m for m in can.ASCReader(str(log)) if 0x7A0 <= m.arbitration_id < 0x7AA]
    assert [(m.arbitration_id, bytes(m.data)) for m in frames] == [(0x7A0 + i, bytes([i])) for i in range(10)]


def test_attach_without_a_server_says_so(tmp_path):
    sock = str(tmp_path / "none.sock")
    out = subprocess.run(vorel_sim("attach", "--socket", sock, "--", "true"), capture_output=True, text=True, timeout=30)
    assert out.returncode == 1
    assert out.stderr.strip() == f"vorel-sim: no simulated bus is served at {sock}; start one with `vorel-sim serve` first"


@pytest.mark.parametrize("args, message", [
    (["--traffic", "0x123"], "'0x123' is not ID:PERIOD_MS[:HEXDATA]"),
    (["--traffic", "zz:10"], "the identifier must be hexadecimal (0x optional), not 'zz'"),
    (["--traffic", "0x20000000:10"], "identifier 0x20000000 is above 0x1FFFFFFF"),
    (["--traffic", "123:0"], "the period in milliseconds must be between 0.1 and 3.6e+06, not 0"),
    (["--traffic", "123:10:abc"], "data 'abc' must be 0 to 8 bytes in hex"),
    (["--adapters", "-3"], "the number of adapters must be between 1 and 999, not -3"),
    (["--adapters", "two"], "the number of adapters must be a whole number, not 'two'"),
    (["--serials", "VOR.EL:CANX0001"], "serial 'VOR.EL:CANX0001' would not be listed by the driver: "
                                       "the letter after VOR.EL:CAN must be H, I or J"),
    (["--serials", "ABC"], "it does not start with VOR.EL:CAN"),
    (["--serials", "VOR.EL:CANH1,VOR.EL:CANH1"], "serials must differ from one another"),
    (["--load", "0"], "the bus load must be above 0 percent"),
    (["--load", "150"], "the bus load in percent must be between 0 and 100, not 150"),
    (["--bitrate", "2000000"], "the bit rate must be between 1000 and 1000000"),
    (["--rx-queue", "0"], "the receive queue must be between 1 and 1000000, not 0"),
    (["--drift-ppm", "10,x"], "the oscillator error in ppm must be a number, not 'x'"),
    (["--usb-latency", "125:50:1"], "'125:50:1' is not FIXED_US[:JITTER_US]"),
    (["--clock-bits", "16"], "argument --clock-bits: invalid choice"),
    (["--unplug", "1"], "'1' is not ADAPTER@SECONDS"),
    (["--bus-off", "x@1"], "'x' is neither an adapter's number (from 1) nor a serial"),
    (["--bus-off", "3@1"], "--bus-off 3@1: there is no adapter 3 (the bus has VOR.EL:CANH0001, VOR.EL:CANH0002"),
])
def test_options_are_checked(args, message):
    for cmd in (list(args) + ["--", "true"], ["serve"] + list(args)):
        out = subprocess.run(vorel_sim(*cmd), capture_output=True, text=True, timeout=30)
        assert out.returncode == 2 and message in out.stderr, (cmd, out.stderr)


def test_the_list_tool_names_every_adapter_with_what_it_can_and_why_one_cannot_open(sim):
    from can_vorel.tool import list_adapters

    lines: list[str] = []
    assert list_adapters(lines.append) == 0
    assert lines == ["No VOREL adapter is attached. Is it plugged in? Without root, libusb needs the udev rule "
                     "shipped in udev/99-vorel-can.rules (sudo cp it to /etc/udev/rules.d/, then sudo udevadm "
                     "control --reload && sudo udevadm trigger, and plug the adapter in again)."]
    sim.add_adapters(3)
    sim.set_name(0, "bench-a")
    sim.set_error_counters(0, 3, 100)
    sim.set_open_error(2, ERROR_ACCESS)
    held = vorel_pythoncan_ext.NativeVorelDevice("VOR.EL:CANH0002")
    lines.clear()
    assert list_adapters(lines.append) == 0
    address = next(p["address"] for p in vorel_pythoncan_ext._probe_adapters() if p["open"] != 0)
    assert lines == [
        "VOR.EL:CANH0001: name 'bench-a', hardware 1.0.0.0, firmware 2.1.0.0, 1 channel(s)",
        "    clock 48 MHz; bit timing: prescaler 1-1024 (step 1), tseg1 1-16, tseg2 1-8, sjw up to 4",
        "    stopped, error counters TX 100 RX 3; CAN FD: no",
        "The VOREL adapter VOR.EL:CANH0002 is in use by another program",
        f"(bus 1 address {address}): cannot be opened: permission denied. Install the udev rule shipped in "
        "udev/99-vorel-can.rules (sudo cp it to /etc/udev/rules.d/, then sudo udevadm control --reload && "
        "sudo udevadm trigger) and plug the adapter in again",
    ]
    del held


@pytest.mark.plain_only  # a full bus counted frame by frame: the sanitized build cannot keep up
def test_selftest_under_the_simulator_reports_what_it_was_set_to(tmp_path):
    report = tmp_path / "report.json"
    # A firmware queue deep enough for a host that a busy machine stalls for a few milliseconds.
    out = subprocess.run(vorel_sim("--drift-ppm", "300,-200", "--usb-latency", "500", "--rx-queue", "1024", "--",
                                   sys.executable, "-m",
                                   "can_vorel", "selftest", "VOR.EL:CANH0001", "VOR.EL:CANH0002", "--seconds", "5",
                                   "--json", str(report)), capture_output=True, text=True, timeout=240)
    assert out.returncode == 0, out.stdout + out.stderr
    steps = {s["step"]: s for s in json.loads(report.read_text())["steps"]}
    assert [s["status"] for s in steps.values()] == ["passed"] * 5 + ["skipped"]
    assert steps["bus-off and recovery"]["reason"].startswith("destructive: run with --destructive")
    # Two USB reads of 0.5 ms each at least, the frames on the wire and the host between them.
    assert 1000 < steps["round trip"]["round_trip_us"]["p50"] < 20000
    for dlc in (0, 8):
        load = steps[f"full load, {dlc}-byte frames"]
        assert load["lost"] == 0 and load["receiver_overruns"] == 0 and load["frames_received"] > 1000
        # A sender that keeps the bus busy; a loaded machine leaves gaps (0.89 seen beside a build).
        assert 0.7 < load["share_of_bus"] <= 1.0
    # Every frame B's adapter took off the bus is one the self-test counted.
    received = sum(steps[f"full load, {dlc}-byte frames"]["frames_received"] for dlc in (0, 8))
    b_line = next(line for line in out.stderr.splitlines() if line.startswith("vorel-sim: VOR.EL:CANH0002:"))
    assert int(b_line.split(" received")[0].rsplit(" ", 1)[1]) >= received
    clocks = steps["timestamps and a 1 ms periodic task"]
    # Within the noise of the host's read times on a busy two-core machine (a few ppm when quiet).
    assert abs(clocks["VOR.EL:CANH0001"]["oscillator_ppm"] - 300) < 25
    assert abs(clocks["VOR.EL:CANH0002"]["oscillator_ppm"] + 200) < 25
    for serial in ("VOR.EL:CANH0001", "VOR.EL:CANH0002"):
        task = next(v for k, v in clocks[serial].items() if k.startswith("periodic_task_of_"))
        assert task["missed"] == 0 and abs(task["drift_ppm"]) < 1000
    assert "sees each other" in out.stdout and "attach it when you report a problem" in out.stdout


def test_selftest_goes_on_past_a_step_that_cannot_run_and_says_why():
    out = subprocess.run(vorel_sim("--adapters", "1", "--", sys.executable, "-m", "can_vorel", "selftest",
                                   "VOR.EL:CANH0001", "VOR.EL:CANH0009", "--seconds", "1"),
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 1
    table = out.stdout[out.stdout.index("step "):].splitlines()
    assert table[1].split()[:4] == ["sees", "each", "other", "failed"]
    assert "No VOREL adapter with serial VOR.EL:CANH0009 (attached: VOR.EL:CANH0001)" in table[1]
    assert all("skipped" in line and "needs both adapters open" in line for line in table[2:6])
    assert out.stderr.splitlines()[-2] == "Failed: sees each other"
