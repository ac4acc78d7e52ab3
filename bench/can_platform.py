"""Frames per second between two processes and the latency a frame adds, on
whichever CAN platform is present: a kernel vcan, or the virtual bus when run
under testing/vbus/run-with-vbus. Both ends are Python, as in drovik's tests.

    python3 bench/can_platform.py [--iface vcan0] [--frames 200000] [--round-trips 5000]
"""

import argparse
import json
import os
import socket
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
from peer import FRAME, Peer, pack  # noqa: E402

PEER = str(Path(__file__).resolve().parents[1] / "tests" / "support" / "peer.py")


def throughput(iface: str, frames: int) -> dict:
    with Peer(iface) as rx:
        rx.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        sender = subprocess.Popen([sys.executable, PEER, "send", iface, "0x100", str(frames)])
        # A kernel-side receive time-out keeps Python's own polling out of the loop.
        rx.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, struct.pack("ll", 5, 0))
        received, first, last = 0, None, None
        try:
            while received < frames:
                rx.sock.recv(FRAME.size)
                last = time.perf_counter()
                first = first or last
                received += 1
        except BlockingIOError:
            pass  # nothing for 5 s: the rest was lost
        sender.wait()
    elapsed = (last - first) if received > 1 else float("nan")
    return {"frames_sent": frames, "frames_received": received, "frames_per_second": round(received / elapsed)}


def latency(iface: str, round_trips: int) -> dict:
    with Peer(iface) as me:
        echo = subprocess.Popen([sys.executable, PEER, "echo", iface, str(round_trips)], stdout=subprocess.PIPE,
                                text=True)
        echo.stdout.readline()
        raw = pack(0x200, b"ping")
        one_way = []
        for _ in range(round_trips):
            start = time.perf_counter()
            me.sock.send(raw)
            me.sock.recv(FRAME.size)
            one_way.append((time.perf_counter() - start) / 2 * 1e6)
        echo.wait()
    cuts = statistics.quantiles(one_way, n=100)
    return {"round_trips": round_trips, "one_way_us_p50": round(cuts[49], 1), "one_way_us_p99": round(cuts[98], 1)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--frames", type=int, default=200_000)
    parser.add_argument("--round-trips", type=int, default=5_000)
    args = parser.parse_args()
    result = {"platform": "emulation" if os.environ.get("DROVIK_VBUS") else "kernel", "iface": args.iface,
              "cpus": os.cpu_count()}
    result.update(throughput(args.iface, args.frames))
    result.update(latency(args.iface, args.round_trips))
    print(json.dumps(result))


if __name__ == "__main__":
    main()
