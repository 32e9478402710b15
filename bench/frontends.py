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
    from common import SIM, alternate, per_call_us
    from frames import one_way_cases

    assert SIM.frontend == frontend, (SIM.frontend, frontend)
    cases, _, pdev = one_way_cases(CALLS[frontend])
    res = alternate(cases, RUNS)
    # One usbfs ioctl and nothing else (libusb asks for the interface's kernel driver): what a
    # round trip through the testbed's socket costs, the unit of every transfer above.
    res["one ioctl"] = per_call_us(lambda: pdev.is_kernel_driver_active(0), CALLS[frontend])
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
    rows.append(("one usbfs ioctl (GETDRIVER)", f"{results['umockdev']['one ioctl']:8.2f} us on emulated devices (none in the drop-in)"))
    print(table(rows, f"Front ends (median of {RUNS} alternating runs; {CALLS['umockdev']} calls per run on emulated devices)"))


if __name__ == "__main__":
    main()
