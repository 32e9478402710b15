"""What a frame costs when the bus is shared by processes (`vorel-sim serve` / `attach`) against a
bus private to one process, and how exactly the simulator's load node and oscillator error work.
There is no goal.

Run: ./run bench shared_bus
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RUNS = 5

# In the measured process: ping-pong between two adapters on one bus at 1 Mbit/s (send on one,
# receive on the other, the sender's thread waiting for each frame), and a control request alone.
PROBE = """
import json, statistics, time, vorel_pythoncan_ext as v
a, b = v.NativeVorelDevice("VOR.EL:CANH0001"), v.NativeVorelDevice("VOR.EL:CANH0002")
for d in (a, b):
    d.set_bitrate(1000000, 875)
    d.set_bus_state(True)
def frame():
    t0 = time.perf_counter()
    for i in range(2000):
        a.send_frame(0x100, False, False, False, 0, b"", 1000)
        b.receive_frame(1000)
    return (time.perf_counter() - t0) / 2000 * 1e6
def control():
    t0 = time.perf_counter()
    for i in range(2000):
        a.get_bus_state()
    return (time.perf_counter() - t0) / 2000 * 1e6
print(json.dumps({"frame": statistics.median(frame() for _ in range(%d)),
                  "control": statistics.median(control() for _ in range(%d))}))
""" % (RUNS, RUNS)


def vorel_sim(*args: str) -> list[str]:
    return [sys.executable, "-m", "vorel_sim", *args]


def private() -> dict[str, float]:
    out = subprocess.run(vorel_sim("--adapters", "2", "--", sys.executable, "-c", PROBE),
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def shared() -> dict[str, float]:
    with tempfile.TemporaryDirectory() as tmp:
        sock = os.path.join(tmp, "bus.sock")
        server = subprocess.Popen(vorel_sim("serve", "--adapters", "2", "--socket", sock),
                                  stdout=subprocess.PIPE, text=True)
        server.stdout.readline()
        try:
            out = subprocess.run(vorel_sim("attach", "--socket", sock, "--", sys.executable, "-c", PROBE),
                                 capture_output=True, text=True, check=True)
        finally:
            server.terminate()
            server.wait()
    return json.loads(out.stdout)


def load_accuracy() -> list[tuple[str, float]]:
    sys.path.insert(0, HERE)
    from common import SIM

    rows = []
    for spec in ("10:8", "50:8", "90:0", "100:8", "100:mixed"):
        SIM.reset()
        SIM.add_adapter()
        percent, frames = spec.split(":")
        t0 = SIM.now_ns()
        SIM.add_load(0, float(percent), frames)
        time.sleep(2.0)
        rows.append((spec, SIM.bus_busy_ns(0) / (SIM.now_ns() - t0) * 100))
    return rows


def drift_accuracy() -> list[tuple[float, float]]:
    """The oscillator error measured from frame timestamps against the host (model) clock."""
    from common import SIM
    import vorel_pythoncan_ext as v

    rows = []
    for ppm in (-500.0, 500.0, 1000.0):
        SIM.reset()
        SIM.add_adapters(1)
        SIM.set_drift(0, ppm)
        dev = v.NativeVorelDevice(None)
        dev.set_bitrate(1000000, 875)
        dev.set_bus_state(True)
        SIM.add_traffic(0, "0x10:5:01")
        first = last = dev.receive_frame(1000)
        count = 0
        end = time.monotonic() + 5.0
        while time.monotonic() < end:
            if (f := dev.receive_frame(50)) is not None:
                last, count = f, count + 1
        # The node sends every 5 ms of host time: the adapter's count over `count` periods.
        measured = (last[0] - first[0]) / (count * 5000) - 1
        rows.append((ppm, measured * 1e6))
        del dev
    return rows


def main() -> None:
    p = [private() for _ in range(2)]
    s = [shared() for _ in range(2)]
    med = lambda runs, key: statistics.median(r[key] for r in runs)  # noqa: E731
    print("## A frame and a control request, private bus against a bus shared by processes")
    print()
    print(f"  ping-pong frame (send + receive, 1 Mbit/s, 47 us wire)  private {med(p, 'frame'):7.1f} us   shared {med(s, 'frame'):7.1f} us")
    print(f"  get_bus_state                                         private {med(p, 'control'):7.1f} us   shared {med(s, 'control'):7.1f} us")
    print()
    print("## Load node: share of the bus asked for and measured over 2 s")
    print()
    for spec, got in load_accuracy():
        print(f"  {spec:>10}  {got:6.2f} %")
    print()
    print("## Oscillator error: set, and measured from 5 s of frame timestamps")
    print()
    for ppm, got in drift_accuracy():
        print(f"  {ppm:+8.1f} ppm  measured {got:+8.1f} ppm")


if __name__ == "__main__":
    main()
