"""python-can's command-line tools against simulated adapters, through vorel-sim; mypy on the stubs."""

from __future__ import annotations

import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

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
    bad = subprocess.run(vorel_sim("--adapters", "1"), capture_output=True, text=True, timeout=30)
    assert bad.returncode != 0 and "no command given" in bad.stderr


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
    capture = tmp_path / "bus.txt"
    out = subprocess.run(
        vorel_sim("--adapters", "1", "--capture", str(capture), "--", sys.executable, "-m", "can.player",
                  "-i", "vorel", "-c", SERIAL, "-b", "500000", str(recorded)),
        capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    frames = [ln.split() for ln in capture.read_text().splitlines()]
    assert [(int(f[2], 16), f[5]) for f in frames] == [(0x100 + i, f"{i:02x}11") for i in range(10)]


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
