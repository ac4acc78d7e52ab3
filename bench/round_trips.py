"""Round trips through every CAN path beside the plain loops a user would write,
in one run on one bus. A responder in another process (plain socket) answers
each request frame 0x100 with a feedback frame 0x201 whose position (bytes 0-3,
float) is the request's first int16. Each loop times request -> answer visible
to Python; the loops take turns, a batch each per round and in a rotated order,
so that noise (and what the loop before leaves behind) hits all of them alike.

- socket (stdlib): socket.send + socket.recv, the reference; and the same reading
  a non-blocking socket back to back (the way the Motor loop reads);
- python-can: Bus.send + Bus.recv (left out when python-can is not installed);
- CanDevice: send + receive; CanDeviceNonBlocking: send + receive_timeout(1000);
- Motor control: Device.set_target (speed mode) + Motor.broadcast(), then
  Device.get_watch_data() read back to back until the answer shows.

    python3 bench/round_trips.py [--iface vcan0] [--rounds 20] [--per-round 100] [--json]

Run it under testing/vbus/run-with-vbus on a machine without kernel CAN.
"""

import argparse
import json
import socket
import struct
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
from peer import FRAME, pack, unpack  # noqa: E402

import drovik  # noqa: E402

REQUEST, ANSWER = 0x100, 0x201
RESPONDER = r"""
import socket, struct, sys
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind((sys.argv[1],))
frame = struct.Struct(sys.argv[2])
print("ready", flush=True)
while True:
    word, length, data = frame.unpack(s.recv(16))
    if word == 0x100:
        if length == 0:
            break
        n = struct.unpack_from("<h", data)[0]
        s.send(frame.pack(0x201, 8, struct.pack("<fhh", float(n), 0, 0)))
"""


def request(n):
    return struct.pack("<hhhh", n, 0, 0, 0)


def answered(data, n):
    return len(data) == 8 and struct.unpack_from("<f", data)[0] == n


def stdlib_loop(iface):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.bind((iface,))

    def round_trip(n):
        s.send(pack(REQUEST, request(n)))
        while True:
            word, data = unpack(s.recv(16))
            if word == ANSWER and answered(data, n):
                return

    return round_trip, s.close


def spinning_stdlib_loop(iface):
    """The reference for the Motor loop, which also reads back to back: a non-blocking recv in a loop."""
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.bind((iface,))
    s.setblocking(False)

    def round_trip(n):
        s.send(pack(REQUEST, request(n)))
        while True:
            try:
                word, data = unpack(s.recv(16))
            except BlockingIOError:
                continue
            if word == ANSWER and answered(data, n):
                return

    return round_trip, s.close


def python_can_loop(iface):
    import can

    bus = can.Bus(interface="socketcan", channel=iface,
                  can_filters=[{"can_id": ANSWER, "can_mask": 0x7FF, "extended": False}])

    def round_trip(n):
        bus.send(can.Message(arbitration_id=REQUEST, data=request(n), is_extended_id=False))
        while not answered(bus.recv(5.0).data, n):
            pass

    return round_trip, bus.shutdown


def blocking_loop(iface):
    device = drovik.CanDevice(iface)

    def round_trip(n):
        device.send(REQUEST, request(n))
        while True:
            word, data = device.receive()
            if word == ANSWER and answered(data, n):
                return

    return round_trip, lambda: None


def nonblocking_loop(iface):
    device = drovik.CanDeviceNonBlocking(iface)

    def round_trip(n):
        device.send(REQUEST, request(n))
        while True:
            frame = device.receive_timeout(1000)
            if frame is None:
                raise RuntimeError("answer lost")
            if frame[0] == ANSWER and answered(frame[1], n):
                return

    return round_trip, lambda: None


def motor_loop(iface):
    motor = drovik.Motor(iface, REQUEST)
    device = motor.add_device(0, ANSWER, "speed")

    def round_trip(n):
        device.set_target((n + 0.5) / 10)  # n counts, safe from truncation
        motor.broadcast()
        reads = 0
        deadline = None
        while device.get_watch_data()["position"] != n:
            # The clock is read only once the answer is long in coming: the socket
            # loops read none, and where the clock is a system call (the guest) one
            # reading a round trip would weigh on this loop alone.
            reads += 1
            if reads % 1024 == 0:
                now = time.monotonic()
                if deadline is None:
                    deadline = now + 5
                elif now > deadline:
                    raise RuntimeError("feedback never came")

    return round_trip, lambda: None


def available_loops():
    found = [("socket (stdlib)", stdlib_loop), ("socket, spinning recv", spinning_stdlib_loop)]
    try:
        import can  # noqa: F401

        found.append(("python-can", python_can_loop))
    except ImportError:
        print("python-can is not installed: its row is left out", file=sys.stderr)
    return found + [("CanDevice", blocking_loop), ("CanDeviceNonBlocking", nonblocking_loop),
                    ("Motor control", motor_loop)]


def first_answer(round_trip, n):
    """A device opened in the background may miss the first requests: until one is answered."""
    deadline = time.monotonic() + 10
    while True:
        try:
            return round_trip(n)
        except RuntimeError:
            if time.monotonic() > deadline:
                raise


def run(iface, rounds, per_round):
    responder = subprocess.Popen([sys.executable, "-c", RESPONDER, iface, FRAME.format], stdout=subprocess.PIPE, text=True)
    assert responder.stdout.readline().strip() == "ready"
    loops = available_loops()
    samples = {name: [] for name, _ in loops}
    n = 0
    for index in range(rounds):
        # Each round starts one loop further on, so no loop always follows the same one.
        shift = index % len(loops)
        for name, make in loops[shift:] + loops[:shift]:
            round_trip, close = make(iface)
            n = n % 30000 + 1
            first_answer(round_trip, n)
            for _ in range(per_round):
                n = n % 30000 + 1
                t0 = time.perf_counter_ns()
                round_trip(n)
                samples[name].append(time.perf_counter_ns() - t0)
            close()
            del round_trip, close
    stop = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    stop.bind((iface,))
    stop.send(pack(REQUEST))
    stop.close()
    responder.wait(timeout=30)
    results = {}
    for name, values in samples.items():
        values.sort()
        results[name] = {
            "p50_us": round(values[len(values) // 2] / 1000, 1),
            "p99_us": round(values[int(len(values) * 0.99)] / 1000, 1),
            "round_trips_per_s": round(len(values) / (sum(values) / 1e9)),
            "trips": len(values),
        }
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--per-round", type=int, default=100)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    results = run(args.iface, args.rounds, args.per_round)
    if args.json:
        print(json.dumps(results, indent=2))
        return
    base = results["socket (stdlib)"]
    print(f"{'loop':22} {'p50 us':>8} {'p99 us':>8} {'p50 vs stdlib':>14} {'p99 vs stdlib':>14}")
    for name, r in results.items():
        print(f"{name:22} {r['p50_us']:>8} {r['p99_us']:>8} {r['p50_us'] / base['p50_us']:>13.2f}x "
              f"{r['p99_us'] / base['p99_us']:>13.2f}x")


if __name__ == "__main__":
    main()
