"""python3 -m motor_sim --iface vcan0 --broadcast-id 0x100 --driver slot=0,id=0x201,mode=speed [--rate 1000]

Prints "motor_sim: ready on IFACE" on stdout once it listens; SIGINT or SIGTERM
stop it cleanly (exit status 0), with a one-line summary on stderr.
"""

import argparse
import signal
import sys

from .driver_config import DriverConfig
from .simulator import MotorSimulator


def _integer(text: str) -> int:
    return int(text, 0)


def _driver(text: str) -> DriverConfig:
    try:
        return DriverConfig.parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="motor_sim", description="Simulated motor drivers on a CAN bus.")
    parser.add_argument("--iface", default="vcan0", help="CAN interface (default vcan0)")
    parser.add_argument("--broadcast-id", type=_integer, default=0x100, help="broadcast frame identifier")
    parser.add_argument("--driver", type=_driver, action="append", required=True,
                        help="slot=0..3,id=FEEDBACK_ID,mode=current|speed|position; repeat for up to 4")
    parser.add_argument("--rate", type=float, default=1000.0,
                        help="feedback frames per second per driver; 0 answers each broadcast once")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = _arguments(argv)
    try:
        sim = MotorSimulator(args.iface, args.broadcast_id, args.driver, args.rate)
        sim.start()
    except (OSError, ValueError) as error:
        print(f"motor_sim: {args.iface}: {error}", file=sys.stderr)
        return 1
    for signo in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signo, lambda *_: sim.request_stop())
    print(f"motor_sim: ready on {args.iface}", flush=True)
    sim.wait()
    try:
        sim.stop()
    except OSError as error:
        print(f"motor_sim: {args.iface}: {error}", file=sys.stderr)
        return 1
    print(f"motor_sim: stopped after {sim.broadcasts} broadcasts, {sim.feedback_sent} feedback frames sent, "
          f"{sim.feedback_dropped} dropped", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
