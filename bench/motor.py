"""Motor figures: Motor.broadcast() cost per call with four devices, feedback
latency (a peer process writes a feedback frame -> the new values are visible
through get_watch_data), each beside its hand-written twin on a non-blocking
socket (struct and send; a drained socket polled at the same pace), and the
CPU a process holding one Motor with four devices uses on a silent bus.

    python3 bench/motor.py [--iface vcan0] [--flood-iface vcan1] [--calls 200000] [--samples 2000]
                           [--idle-seconds 5] [--json]

The broadcast loop floods its interface with frames, so it runs on a second one.

Run under testing/vbus/run-with-vbus without kernel CAN.
"""

import argparse
import json
import resource
import socket
import struct
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
from peer import pack, unpack  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from can_send import measure  # noqa: E402

import drovik  # noqa: E402

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
    """Motor.broadcast() of four targets against its hand-written twin: the four targets encoded with struct and
    sent on a blocking socket (which, like broadcast()'s queue, keeps every frame). A stdlib receiver in another
    process counts what arrives: calls per second, and frames delivered over the span to the last one."""
    def motor_sender(iface):
        motor, _ = motor_with_four(iface)
        time.sleep(0.2)  # the motor's socket opens
        return motor.broadcast, lambda: None

    def socket_sender(iface):
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        s.bind((iface,))
        targets = [1.5 * (n + 1) for n in range(4)]  # as motor_with_four sets them
        scales = [10, 10, 100, 100]  # counts per unit of its four modes
        payload = struct.Struct("<hhhh")
        return (lambda: s.send(pack(0x100, payload.pack(*[int(t * k) for t, k in zip(targets, scales)])))), s.close

    return {"Motor.broadcast()": measure(iface, motor_sender, calls),
            "struct + socket.send": measure(iface, socket_sender, calls)}


def polled_socket(iface):
    """The hand-written twin of get_watch_data(): a non-blocking socket drained, the newest feedback kept."""
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, struct.pack("=II", 0x201, 0x7FF))
    s.bind((iface,))
    s.setblocking(False)
    latest = [-1.0]

    def position():
        while True:
            try:
                word, data = unpack(s.recv(16))
            except BlockingIOError:
                return latest[0]
            latest[0] = struct.unpack_from("<f", data)[0]

    return position, s.close


def feedback_latency(iface, samples, by_hand=False):
    if by_hand:
        position, close = polled_socket(iface)
    else:
        motor, devices = motor_with_four(iface)
        position, close = (lambda: devices[0].get_watch_data()["position"]), (lambda: None)
    peer = subprocess.Popen([sys.executable, "-c", FEEDBACK_PEER, iface], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    assert peer.stdout.readline().strip() == "ready"
    seen = []
    warm_up = 200  # the first ones also wait for the motor's socket to open
    missed = 0  # warm-up frames in a row that never showed
    for n in range(1, warm_up + samples + 1):
        peer.stdin.write(f"{n}\n")
        peer.stdin.flush()
        deadline = time.monotonic() + (0.5 if n <= warm_up else 5)
        while position() != float(n):
            # Read the way a fast control loop would, not back to back: a reader that
            # never lets go of the watch lock only measures its own contention.
            pause = time.perf_counter_ns() + 10_000
            while time.perf_counter_ns() < pause:
                pass
            if time.monotonic() > deadline:
                if n <= warm_up:  # sent before the socket opened: send the next one
                    missed += 1
                    if missed == 20:  # a socket that failed to open, not a slow one
                        raise RuntimeError("the motor's socket never opened")
                    break
                raise RuntimeError(f"feedback {n} never arrived")
        else:
            missed = 0
        seen.append(time.perf_counter_ns())
    peer.stdin.write("-1\n")
    peer.stdin.flush()
    sent = list(map(int, peer.stdout.readline().split()))[warm_up:]
    seen = seen[warm_up:]
    peer.wait(timeout=30)
    close()
    latencies = sorted((s - t) / 1000 for s, t in zip(seen, sent))
    return {
        "p50_us": round(latencies[len(latencies) // 2], 1),
        "p99_us": round(latencies[int(len(latencies) * 0.99)], 1),
        "max_us": round(latencies[-1], 1),
        "samples": len(latencies),
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
        "feedback_latency_socket": feedback_latency(args.iface, args.samples, by_hand=True),
        "idle": idle_cpu(args.iface, args.idle_seconds),
    }
    print(json.dumps(results, indent=None if not args.json else 2))


if __name__ == "__main__":
    main()
