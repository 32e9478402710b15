"""vorel-sim: run any command against simulated VOREL adapters joined on one simulated CAN bus.

    vorel-sim --adapters 2 -- python -m can.logger -i vorel -c VOR.EL:CANH0001 -b 500000

The command runs with the simulated adapters' libusb first on its library path, so every program
in it that uses libusb (this project's module, pyusb, ...) sees the simulated adapters instead of
real ones. The simulation lives inside that process: its adapters are its own.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Optional, Sequence

from vorel_sim import library_path


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="vorel-sim",
        description="Run a command against simulated VOREL USB CAN adapters.",
        epilog="Adapters get the serials VOR.EL:CANH0001, VOR.EL:CANH0002, ... unless --serials names them.",
    )
    p.add_argument("--adapters", type=int, default=2, help="number of adapters on the bus (default 2)")
    p.add_argument("--serials", help="comma-separated serials instead of the default ones")
    p.add_argument("--bitrate", type=int, help="initial bit rate of the adapters, bit/s")
    p.add_argument(
        "--traffic",
        action="append",
        default=[],
        metavar="ID:PERIOD_MS[:HEXDATA]",
        help="another node on the bus sending this frame every PERIOD_MS (repeatable)",
    )
    p.add_argument("--capture", metavar="FILE", help="append every frame on the bus to FILE")
    p.add_argument("command", nargs=argparse.REMAINDER, help="the command to run, after --")
    return p


def environment(args: argparse.Namespace, base: Optional[dict[str, str]] = None) -> dict[str, str]:
    env = dict(os.environ if base is None else base)
    lib = os.path.abspath(library_path())
    if not os.path.exists(lib):
        raise SystemExit("vorel-sim: the simulated adapters' library is not installed with this package")
    folder = os.path.dirname(lib)
    env["LD_LIBRARY_PATH"] = folder + (os.pathsep + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    env["VOREL_SIM_LIB"] = lib
    if args.serials:
        env["VOREL_SIM_SERIALS"] = args.serials
        env.pop("VOREL_SIM_ADAPTERS", None)
    else:
        env["VOREL_SIM_ADAPTERS"] = str(args.adapters)
        env.pop("VOREL_SIM_SERIALS", None)
    if args.bitrate:
        env["VOREL_SIM_BITRATE"] = str(args.bitrate)
    if args.traffic:
        env["VOREL_SIM_TRAFFIC"] = ",".join(args.traffic)
    if args.capture:
        env["VOREL_SIM_CAPTURE"] = os.path.abspath(args.capture)
    return env


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    command = list(args.command)
    if command and command[0] == "--":
        command = command[1:]
    if not command:
        build_parser().error("no command given (put it after --)")
    env = environment(args)
    try:
        os.execvpe(command[0], command, env)
    except OSError as e:
        print(f"vorel-sim: cannot run {command[0]}: {e.strerror}", file=sys.stderr)
        return 127
    return 0  # not reached


if __name__ == "__main__":
    sys.exit(main())
