"""Motor figures: Motor.broadcast() cost per call with four devices, feedback
latency (a peer process writes a feedback frame -> the new values are visible
through get_watch_data), and the CPU a process holding one Motor with four
devices uses on a silent bus.

    python3 bench/motor.py [--iface vcan0] [--flood-iface vcan1] [--calls 200000] [--samples 2000]
                           [--idle-seconds 5] [--json]

The broadcast loop floods its interface with frames, so it runs on a second one.

Run under testing/vbus/run-with-vbus without kernel CAN.
"""

import argparse
import json
import resource
import subprocess
import sys
import time
from pathlib import Path

import drovik

FEEDBACK_PEER = rf"""
import struct, sys, time
sys.path.insert(0, {str(Path(__file__).resolve().parents[1] / "tests" / "support")!r})
from peer import Peer, pack
peer = Peer(sys.argv[1])
sent = []
print("ready", flush=True)
for line in sys.stdin:
    n = int(line)
    if n < 0:
        break
    frame = pack(0x201, struct.pack("<fhh", float(n), 0, 0))
    sent.append(time.perf_counter_ns())
    peer.sock.send(frame)
print(" ".join(map(str, sent)), flush=True)
"""


def motor_with_four(iface):
    motor = drovik.Motor(iface, 0x100)
    devices = [motor.add_device(slot, 0x201 + slot, mode) for slot, mode in
               enumerate(["speed", "speed", "position", "current"])]
    for n, device in enumerate(devices):
        device.set_target(1.5 * (n + 1))
    return motor, devices


def broadcast_cost(iface, calls):
    motor, _ = motor_with_four(iface)
    for _ in range(1000):
        motor.broadcast()
    began = time.perf_counter()
    for _ in range(calls):
        motor.broadcast()
    per_call = (time.perf_counter() - began) / calls
    empty = time.perf_counter()
    for _ in range(calls):
        pass
    loop = (time.perf_counter() - empty) / calls
    return {"ns_per_call": round(per_call * 1e9), "ns_per_call_minus_loop": round((per_call - loop) * 1e9)}


def feedback_latency(iface, samples):
    motor, devices = motor_with_four(iface)
    peer = subprocess.Popen([sys.executable, "-c", FEEDBACK_PEER, iface], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    assert peer.stdout.readline().strip() == "ready"
    device = devices[0]
    seen = []
    warm_up = 200  # the first ones also wait for the motor's socket to open
    for n in range(1, warm_up + samples + 1):
        peer.stdin.write(f"{n}\n")
        peer.stdin.flush()
        deadline = time.monotonic() + 5
        while device.get_watch_data()["position"] != float(n):
            # Read the way a fast control loop would, not back to back: a reader that
            # never lets go of the watch lock only measures its own contention.
            pause = time.perf_counter_ns() + 10_000
            while time.perf_counter_ns() < pause:
                pass
            if time.monotonic() > deadline:
                if n <= warm_up:  # sent before the socket opened: send the next one
                    break
                raise RuntimeError(f"feedback {n} never arrived")
        seen.append(time.perf_counter_ns())
    peer.stdin.write("-1\n")
    peer.stdin.flush()
    sent = list(map(int, peer.stdout.readline().split()))[warm_up:]
    seen = seen[warm_up:]
    peer.wait(timeout=30)
    latencies = sorted((s - t) / 1000 for s, t in zip(seen, sent))
    return {
        "p50_us": round(latencies[len(latencies) // 2], 1),
        "p99_us": round(latencies[int(len(latencies) * 0.99)], 1),
        "max_us": round(latencies[-1], 1),
    }


def idle_cpu(iface, seconds):
    motor, _ = motor_with_four(iface)
    time.sleep(0.5)  # let the socket open
    before = resource.getrusage(resource.RUSAGE_SELF)
    wall = time.monotonic()
    time.sleep(seconds)
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return {"cpu_ms": round(cpu * 1000, 2), "percent_of_a_core": round(100 * cpu / (time.monotonic() - wall), 3)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--flood-iface", default="vcan1")
    parser.add_argument("--calls", type=int, default=200_000)
    parser.add_argument("--samples", type=int, default=2000)
    parser.add_argument("--idle-seconds", type=float, default=5.0)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    results = {
        "broadcast": broadcast_cost(args.flood_iface, args.calls),
        "feedback_latency": feedback_latency(args.iface, args.samples),
        "idle": idle_cpu(args.iface, args.idle_seconds),
    }
    print(json.dumps(results, indent=None if not args.json else 2))


if __name__ == "__main__":
    main()
