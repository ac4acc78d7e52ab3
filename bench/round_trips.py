"""CanDevice and CanDeviceNonBlocking against the same loops on Python's socket
module, in one run on the same bus: an echo peer in another process sends each
frame straight back.

    python3 bench/can_device.py [--iface vcan0] [--round-trips 5000] [--json]

Run it under testing/vbus/run-with-vbus on a machine without kernel CAN.
"""

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "can"))
from peer import Peer, pack, unpack  # noqa: E402

import drovik  # noqa: E402

PEER = str(Path(__file__).resolve().parents[1] / "tests" / "can" / "peer.py")
PAYLOAD = bytes(range(8))


def stdlib_loop(iface):
    peer = Peer(iface)
    frame = pack(0x123, PAYLOAD)

    def round_trip():
        peer.sock.send(frame)
        unpack(peer.sock.recv(16))

    return round_trip


def blocking_loop(iface):
    device = drovik.CanDevice(iface)

    def round_trip():
        device.send(0x123, PAYLOAD)
        device.receive()

    return round_trip


def nonblocking_loop(iface):
    device = drovik.CanDeviceNonBlocking(iface)
    device.receive_timeout(200)  # let the socket task open the interface

    def round_trip():
        device.send(0x123, PAYLOAD)
        if device.receive_timeout(5000) is None:
            raise RuntimeError("echo lost")

    return round_trip


def measure(iface, make_loop, count):
    echo = subprocess.Popen([sys.executable, PEER, "echo", iface, str(count + 50)], stdout=subprocess.PIPE, text=True)
    assert echo.stdout.readline().strip() == "ready"
    round_trip = make_loop(iface)
    for _ in range(50):  # warm-up
        round_trip()
    samples = []
    began = time.perf_counter()
    for _ in range(count):
        t0 = time.perf_counter_ns()
        round_trip()
        samples.append(time.perf_counter_ns() - t0)
    elapsed = time.perf_counter() - began
    echo.wait(timeout=60)
    samples.sort()
    return {
        "round_trips_per_s": round(count / elapsed),
        "p50_us": round(samples[len(samples) // 2] / 1000, 1),
        "p99_us": round(samples[int(len(samples) * 0.99)] / 1000, 1),
        "mean_us": round(statistics.fmean(samples) / 1000, 1),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--round-trips", type=int, default=5000)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    results = {
        name: measure(args.iface, loop, args.round_trips)
        for name, loop in [
            ("socket (stdlib)", stdlib_loop),
            ("CanDevice", blocking_loop),
            ("CanDeviceNonBlocking", nonblocking_loop),
        ]
    }
    if args.json:
        print(json.dumps(results, indent=2))
        return
    base = results["socket (stdlib)"]["round_trips_per_s"]
    print(f"{'loop':24} {'round trips/s':>14} {'p50 us':>8} {'p99 us':>8} {'vs stdlib':>10}")
    for name, r in results.items():
        print(f"{name:24} {r['round_trips_per_s']:>14} {r['p50_us']:>8} {r['p99_us']:>8} "
              f"{r['round_trips_per_s'] / base:>9.2f}x")


if __name__ == "__main__":
    main()
