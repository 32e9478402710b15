"""vorel-sim: run programs against simulated VOREL USB CAN adapters on a simulated CAN bus."""

from __future__ import annotations

import argparse
import os
import signal
import socket
import sys
import time
from typing import Callable, Optional, Sequence

from vorel_sim import library_path

SERIAL_PREFIX = "VOR.EL:CAN"
DEFAULT_SERIAL = SERIAL_PREFIX + "H{:04d}"

DESCRIPTION = """\
Run programs against simulated VOREL USB CAN adapters joined on one simulated CAN bus.

  vorel-sim [OPTIONS] -- CMD        a private bus for one command: its adapters are its own
  vorel-sim serve [OPTIONS]         host a bus that several processes share, until Ctrl-C
  vorel-sim attach -- CMD           run CMD against the bus that `vorel-sim serve` hosts

How adapters, serials, processes and the bus relate: the bus carries every adapter and every
traffic node; each adapter has a serial (VOR.EL:CANH0001, VOR.EL:CANH0002, ... unless --serials
names them) by which a program opens it. A process that opens an adapter holds it, as on
hardware, until it closes it or ends; another process opening it meanwhile gets the error a
busy adapter gives. With a private bus only the command (and its threads) sees the adapters;
with serve, every process started through `vorel-sim attach` sees the same adapters and the
frames they send each other, with the bus's wire timing and order.

Serials the driver lists: "VOR.EL:CAN", then H, I or J, then anything printable (for example
VOR.EL:CANH0001 or VOR.EL:CANJ12); the driver ignores adapters with other serials.
"""

EXAMPLES = """\
examples:
  vorel-sim --adapters 2 --traffic 0x123:10:0102 -- python -m can.logger -i vorel -c VOR.EL:CANH0001 -b 500000
  vorel-sim --bus-off 1@2 --unplug 1@5 -- python -m can.logger -i vorel -c VOR.EL:CANH0001 -b 500000
  vorel-sim serve --adapters 2 --bitrate 1000000 --load 50 &
  vorel-sim attach -- python -m can.logger -i vorel -c VOR.EL:CANH0001 -b 1000000
  vorel-sim attach -- python my_program.py        # opens VOR.EL:CANH0002, say
"""


def default_socket() -> str:
    """Where `serve` listens and `attach` looks, unless --socket says otherwise."""
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime and os.path.isdir(runtime):
        return os.path.join(runtime, "vorel-sim.sock")
    return f"/tmp/vorel-sim-{os.getuid()}.sock"


# --- option checks: each returns the value or raises ArgumentTypeError with what is wrong --------


def _int_in(lo: int, hi: int, what: str) -> Callable[[str], int]:
    def check(text: str) -> int:
        try:
            value = int(text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{what} must be a whole number, not {text!r}") from None
        if not lo <= value <= hi:
            raise argparse.ArgumentTypeError(f"{what} must be between {lo} and {hi}, not {value}")
        return value

    return check


def _float(text: str, what: str, lo: float, hi: float) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must be a number, not {text!r}") from None
    if not lo <= value <= hi:
        raise argparse.ArgumentTypeError(f"{what} must be between {lo:g} and {hi:g}, not {text}")
    return value


def serial_problem(serial: str) -> Optional[str]:
    """Why the driver would not list an adapter with this serial, or None when it would."""
    if not serial.startswith(SERIAL_PREFIX):
        return f"it does not start with {SERIAL_PREFIX}"
    if len(serial.encode()) <= len(SERIAL_PREFIX) or serial[len(SERIAL_PREFIX)] not in "HIJ":
        return f"the letter after {SERIAL_PREFIX} must be H, I or J"
    if not serial.isprintable() or not serial.isascii():
        return "it must be printable ASCII"
    return None


def serials(text: str) -> list[str]:
    items = text.split(",")
    for s in items:
        problem = serial_problem(s)
        if problem:
            raise argparse.ArgumentTypeError(f"serial {s!r} would not be listed by the driver: {problem}")
    if len(set(items)) != len(items):
        raise argparse.ArgumentTypeError("serials must differ from one another")
    if len(items) > 999:
        raise argparse.ArgumentTypeError("at most 999 adapters")
    return items


def _hex(text: str, what: str) -> int:
    digits = text[2:] if text[:2].lower() == "0x" else text
    if not digits or len(digits) > 8 or any(c not in "0123456789abcdefABCDEF" for c in digits):
        raise argparse.ArgumentTypeError(f"{what} must be hexadecimal (0x optional), not {text!r}")
    return int(digits, 16)


def traffic(text: str) -> str:
    parts = text.split(":")
    if len(parts) not in (2, 3):
        raise argparse.ArgumentTypeError(f"{text!r} is not ID:PERIOD_MS[:HEXDATA] (for example 0x123:10:0102)")
    ident = _hex(parts[0], "the identifier")
    if ident > 0x1FFFFFFF:
        raise argparse.ArgumentTypeError(f"identifier {parts[0]} is above 0x1FFFFFFF, the largest extended one")
    _float(parts[1], "the period in milliseconds", 0.1, 3_600_000)
    data = parts[2] if len(parts) == 3 else ""
    if len(data) % 2 or len(data) > 16 or any(c not in "0123456789abcdefABCDEF" for c in data):
        raise argparse.ArgumentTypeError(f"data {data!r} must be 0 to 8 bytes in hex, two digits a byte")
    return text


def percent(text: str) -> float:
    value = _float(text, "the bus load in percent", 0, 100)
    if value <= 0:
        raise argparse.ArgumentTypeError("the bus load must be above 0 percent")
    return value


def drift(text: str) -> str:
    for item in text.split(","):
        _float(item, "the oscillator error in ppm", -100_000, 100_000)
    return text


def rx_queues(text: str) -> str:
    check = _int_in(1, 1_000_000, "the receive queue")
    for item in text.split(","):
        check(item)
    return text


def fault_time(text: str) -> str:
    who, at, seconds = text.rpartition("@")
    if not at or not who:
        raise argparse.ArgumentTypeError(f"{text!r} is not ADAPTER@SECONDS (for example 1@2.5 or VOR.EL:CANH0002@10)")
    _float(seconds, "the time in seconds", 0, 1_000_000)
    if not who.isdigit() and serial_problem(who):
        raise argparse.ArgumentTypeError(f"{who!r} is neither an adapter's number (from 1) nor a serial")
    return text


def latency(text: str) -> str:
    parts = text.split(":")
    if len(parts) > 2:
        raise argparse.ArgumentTypeError(f"{text!r} is not FIXED_US[:JITTER_US]")
    for p in parts:
        _float(p, "the USB latency in microseconds", 0, 1_000_000)
    return text


# --- parsers ---------------------------------------------------------------------------------------


def _bus_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("the bus and its adapters")
    g.add_argument("--adapters", type=_int_in(1, 999, "the number of adapters"), default=2,
                   help="number of adapters on the bus, serials VOR.EL:CANH0001 on (default 2)")
    g.add_argument("--serials", type=serials, help="comma-separated serials instead of the default ones")
    g.add_argument("--bitrate", type=_int_in(1000, 1_000_000, "the bit rate"),
                   help="initial bit rate of the adapters, bit/s (default 500000)")
    g.add_argument("--rx-queue", type=rx_queues, metavar="FRAMES[,FRAMES...]",
                   help="frames each adapter's firmware queues for the host before it drops them: one for all, "
                        "or one per adapter (default 64)")
    g.add_argument("--drift-ppm", type=drift, metavar="PPM[,PPM...]",
                   help="error of the adapters' oscillators in ppm: one for all, or one per adapter")
    g.add_argument("--clock-bits", type=int, choices=(32, 64), help="width of the timestamp counter (default 32)")
    g.add_argument("--usb-latency", type=latency, metavar="US[:JITTER_US]",
                   help="USB round trip of every transfer, plus a random part up to JITTER_US (default 0)")
    g.add_argument("--usb-frame-us", type=_int_in(0, 1_000_000, "the USB frame in microseconds"), metavar="US",
                   help="report completions only at USB frame boundaries this far apart, as WinUSB does for "
                        "short reads (1000 models it; default 0: at once)")
    t = p.add_argument_group("other nodes on the bus")
    t.add_argument("--traffic", action="append", default=[], type=traffic, metavar="ID:PERIOD_MS[:HEXDATA]",
                   help="a node sending this frame every PERIOD_MS; ID in hex, above 0x7FF or 8 digits "
                        "extended (repeatable)")
    t.add_argument("--ack-nodes", type=_int_in(0, 100, "the number of acknowledging nodes"), metavar="N",
                   help="nodes that send nothing and acknowledge every frame at the bus's bit rate, as a real "
                        "bus's other controllers do (default 0: only adapters that are on and traffic nodes "
                        "acknowledge; a frame nobody acknowledges is sent again and again)")
    t.add_argument("--load", type=percent, metavar="PERCENT",
                   help="a node filling this share of the bus; its frames count in the identifier (mod 2048) "
                        "and in the data bytes, so that a receiver can see loss and reordering")
    t.add_argument("--load-frames", choices=("8", "0", "mixed"), default="8",
                   help="the load node's frames: 8 data bytes (the worst case), none, or 0 to 8 in turn")
    f = p.add_argument_group("faults, SECONDS after vorel-sim started; ADAPTER is a serial or a number from 1")
    f.add_argument("--unplug", action="append", default=[], type=fault_time, metavar="ADAPTER@SECONDS",
                   help="unplug the adapter then: every call on it fails as on hardware (repeatable)")
    f.add_argument("--bus-off", action="append", default=[], type=fault_time, metavar="ADAPTER@SECONDS",
                   help="force the adapter's controller bus-off then, as a shorted bus does: it sends and "
                        "receives nothing until restarted (repeatable)")
    o = p.add_argument_group("records")
    o.add_argument("--capture", metavar="FILE", help="write every frame on the bus to FILE, in python-can's ASC layout")
    o.add_argument("--append", action="store_true", help="append to the capture file instead of replacing it")
    o.add_argument("--log", metavar="FILE", help="write every USB transfer to FILE, one line each")


def build_parser() -> argparse.ArgumentParser:
    """The private bus: vorel-sim [OPTIONS] -- CMD."""
    p = argparse.ArgumentParser(prog="vorel-sim", description=DESCRIPTION, epilog=EXAMPLES,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    _bus_options(p)
    p.add_argument("command", nargs=argparse.REMAINDER, help="the command to run, after --")
    return p


def build_serve_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vorel-sim serve", formatter_class=argparse.RawDescriptionHelpFormatter,
                                description="Host a simulated bus and its adapters for other processes until "
                                            "interrupted; start them with `vorel-sim attach -- CMD`.")
    _bus_options(p)
    p.add_argument("--socket", default=None, help=f"where to listen (default {default_socket()})")
    return p


def build_attach_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vorel-sim attach",
                                description="Run a command against the bus that `vorel-sim serve` hosts.")
    p.add_argument("--socket", default=None, help=f"the server's socket (default {default_socket()})")
    p.add_argument("command", nargs=argparse.REMAINDER, help="the command to run, after --")
    return p


# --- environments ----------------------------------------------------------------------------------

_BUS_VARIABLES = ("VOREL_SIM_ADAPTERS", "VOREL_SIM_SERIALS", "VOREL_SIM_BITRATE", "VOREL_SIM_RX_QUEUE",
                  "VOREL_SIM_DRIFT_PPM", "VOREL_SIM_CLOCK_BITS", "VOREL_SIM_USB_LATENCY", "VOREL_SIM_USB_FRAME_US",
                  "VOREL_SIM_TRAFFIC", "VOREL_SIM_LOAD", "VOREL_SIM_CAPTURE", "VOREL_SIM_CAPTURE_APPEND",
                  "VOREL_SIM_LOG", "VOREL_SIM_SERVER", "VOREL_SIM_UNPLUG", "VOREL_SIM_BUS_OFF", "VOREL_SIM_START_NS",
                  "VOREL_SIM_SUMMARY", "VOREL_SIM_ACK_NODES")


def _library() -> str:
    lib = os.path.abspath(library_path())
    if not os.path.exists(lib):
        raise SystemExit("vorel-sim: the simulated adapters' library is not installed with this package")
    return lib


def _with_library(env: dict[str, str], lib: str) -> dict[str, str]:
    folder = os.path.dirname(lib)
    env["LD_LIBRARY_PATH"] = folder + (os.pathsep + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    env["VOREL_SIM_LIB"] = lib
    for name in _BUS_VARIABLES:
        env.pop(name, None)
    return env


def environment(args: argparse.Namespace, base: Optional[dict[str, str]] = None) -> dict[str, str]:
    """The environment in which the simulated adapters' library sets up the bus `args` describe."""
    env = _with_library(dict(os.environ if base is None else base), _library())
    if args.serials:
        env["VOREL_SIM_SERIALS"] = ",".join(args.serials)
    else:
        env["VOREL_SIM_ADAPTERS"] = str(args.adapters)
    optional = {
        "VOREL_SIM_BITRATE": args.bitrate,
        "VOREL_SIM_RX_QUEUE": args.rx_queue,
        "VOREL_SIM_DRIFT_PPM": args.drift_ppm,
        "VOREL_SIM_CLOCK_BITS": args.clock_bits,
        "VOREL_SIM_USB_LATENCY": args.usb_latency,
        "VOREL_SIM_USB_FRAME_US": args.usb_frame_us,
        "VOREL_SIM_TRAFFIC": ",".join(args.traffic) or None,
        "VOREL_SIM_LOAD": f"{args.load}:{args.load_frames}" if args.load else None,
        "VOREL_SIM_ACK_NODES": args.ack_nodes or None,
        "VOREL_SIM_CAPTURE": os.path.abspath(args.capture) if args.capture else None,
        "VOREL_SIM_CAPTURE_APPEND": "1" if args.append else None,
        "VOREL_SIM_LOG": os.path.abspath(args.log) if args.log else None,
        "VOREL_SIM_UNPLUG": ",".join(args.unplug) or None,
        "VOREL_SIM_BUS_OFF": ",".join(args.bus_off) or None,
        "VOREL_SIM_START_NS": time.time_ns(),
    }
    env.update({k: str(v) for k, v in optional.items() if v is not None})
    return env


def check_faults(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Every --unplug and --bus-off names one of the bus's adapters."""
    names = args.serials or [DEFAULT_SERIAL.format(i + 1) for i in range(args.adapters)]
    for option, items in (("--unplug", args.unplug), ("--bus-off", args.bus_off)):
        for item in items:
            who = item.rpartition("@")[0]
            if who not in names and not (who.isdigit() and 1 <= int(who) <= len(names)):
                parser.error(f"{option} {item}: there is no adapter {who} (the bus has {', '.join(names)}, "
                             f"numbered 1 to {len(names)})")


def _command(parser: argparse.ArgumentParser, command: list[str]) -> list[str]:
    if command and command[0] == "--":
        command = command[1:]
    if not command:
        parser.error("no command given (put it after --)")
    return command


def _run(command: list[str], env: dict[str, str]) -> int:
    try:
        os.execvpe(command[0], command, env)
    except OSError as e:
        print(f"vorel-sim: cannot run {command[0]}: {e.strerror}", file=sys.stderr)
        return 127
    return 0  # not reached


def serving(path: str) -> bool:
    """Whether a server answers at `path`."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(path)
        except OSError:
            return False
    return True


def serve(argv: Sequence[str]) -> int:
    from vorel_sim import Sim

    parser = build_serve_parser()
    args = parser.parse_args(argv)
    check_faults(parser, args)
    path = args.socket or default_socket()
    if serving(path):
        print(f"vorel-sim: a bus is already served at {path}", file=sys.stderr)
        return 1
    # The library reads the bus's description from the environment when it first starts.
    env = environment(args)
    os.environ.clear()
    os.environ.update(env)
    sim = Sim(os.environ["VOREL_SIM_LIB"])
    try:
        sim.serve(path)
    except OSError as e:
        print(f"vorel-sim: cannot serve at {path}: {e.strerror}", file=sys.stderr)
        return 1
    names = args.serials or [DEFAULT_SERIAL.format(i + 1) for i in range(args.adapters)]
    print(f"vorel-sim: serving {len(names)} adapter(s) on one bus at {path}: {', '.join(names)}", flush=True)
    print("vorel-sim: run programs with `vorel-sim attach -- CMD`; Ctrl-C stops", flush=True)
    stop = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
    for sig in stop:  # a shell that starts us in the background leaves SIGINT ignored
        signal.signal(sig, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_BLOCK, stop)
    signal.sigwait(stop)
    sim.stop_serving()
    sim.print_summary(stdout=True)
    return 0


def attach(argv: Sequence[str]) -> int:
    parser = build_attach_parser()
    args = parser.parse_args(argv)
    command = _command(parser, list(args.command))
    path = args.socket or default_socket()
    if not serving(path):
        print(f"vorel-sim: no simulated bus is served at {path}; start one with `vorel-sim serve` first",
              file=sys.stderr)
        return 1
    env = _with_library(dict(os.environ), _library())
    env["VOREL_SIM_SERVER"] = os.path.abspath(path)
    return _run(command, env)


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] == "serve":
        return serve(argv[1:])
    if argv and argv[0] == "attach":
        return attach(argv[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    check_faults(parser, args)
    command = _command(parser, list(args.command))
    env = environment(args)
    # The command's own process holds the bus: its library prints the summary when it exits.
    env["VOREL_SIM_SUMMARY"] = "1"
    return _run(command, env)


if __name__ == "__main__":
    sys.exit(main())

