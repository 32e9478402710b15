"""send_frame and receive_frame through the system's libusb over emulated USB devices, against the
drop-in libusb; pyusb the same way. What real libusb's code path (URBs, usbfs ioctls, its event
loop) costs on top of the simulated adapter; there is no goal.

Run: ./run bench frontends
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
RUNS = 5
CALLS = {"dropin": 20000, "umockdev": 2000}


def measure(frontend: str) -> dict[str, float]:
    """In a process of its own per front end: µs per frame of each way in and out."""
    from common import SIM, alternate, per_call_us, pyusb_device, rx_record
    from frames import RECORD, decode_two

    import vorel_pythoncan_ext as vorel

    assert SIM.frontend == frontend, (SIM.frontend, frontend)
    calls = CALLS[frontend]
    SIM.reset()
    SIM.enable_log(False)
    a, b, c = (SIM.add_adapter(f"VOR.EL:CANH000{i}") for i in (1, 2, 3))
    SIM.set_sink(a)
    SIM.set_sink(c)
    dev = vorel.NativeVorelDevice("VOR.EL:CANH0001")
    rx = vorel.NativeVorelDevice("VOR.EL:CANH0002")
    pdev = pyusb_device(c)

    def module_recv() -> float:
        SIM.inject_rx(b, rx_record(0x123, b"\xaa\xbb") * calls)
        return per_call_us(lambda: rx.receive_frame(100), calls)

    def pyusb_recv() -> float:
        SIM.inject_rx(c, rx_record(0x123, b"\xaa\xbb") * calls)
        return per_call_us(lambda: decode_two(bytes(pdev.read(0x81, 64, 100))), calls // 2) / 2

    res = alternate(
        {
            "send_frame": lambda: per_call_us(lambda: dev.send_frame(0x123, False, False, False, 2, b"\xaa\xbb", 100), calls),
            "pyusb write": lambda: per_call_us(lambda: pdev.write(0x02, RECORD, 100), calls // 4),
            "receive_frame": module_recv,
            "pyusb read + decode": pyusb_recv,
        },
        RUNS,
    )
    import usb.util

    usb.util.dispose_resources(pdev)
    return res


def main() -> None:
    if "VOREL_BENCH_FRONTEND" in os.environ:
        print(json.dumps(measure(os.environ["VOREL_BENCH_FRONTEND"])))
        return
    sys.path.insert(0, os.path.join(HERE, "..", "sim", "python"))
    from vorel_sim import frontend_environment

    build = os.path.join(HERE, "..", "build", "dev")
    results = {}
    for frontend in ("dropin", "umockdev"):
        env = frontend_environment(frontend, build)
        env["VOREL_BENCH_FRONTEND"] = frontend
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [HERE, env.get("PYTHONPATH")]))
        out = subprocess.run([sys.executable, __file__], env=env, capture_output=True, text=True, check=True)
        results[frontend] = json.loads(out.stdout.strip().splitlines()[-1])
    from common import table

    rows = []
    for name in ("send_frame", "receive_frame", "pyusb write", "pyusb read + decode"):
        d, u = results["dropin"][name], results["umockdev"][name]
        rows.append((name, f"{d:8.2f} us/frame drop-in   {u:8.2f} us/frame system libusb   x{u / d:.1f}"))
    print(table(rows, f"Front ends (median of {RUNS} alternating runs; {CALLS['umockdev']} calls per run on emulated devices)"))


if __name__ == "__main__":
    main()
