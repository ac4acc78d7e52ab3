"""Sending from Python: CanDevice.send (blocking) and CanDeviceNonBlocking.send
(queued for the socket task, never blocks) against python-can's
Bus(interface="socketcan").send and a plain blocking socket.send loop, in one
run on the same bus. Reports how many of the frames a stdlib receiver in
another process got, and the rate of those delivered over the whole span from
the first send call to the last frame received; and the calls per second,
which compare only among the blocking senders (a queueing call returns before
its frame is out).

    python3 bench/can_send.py [--iface vcan0] [--frames 100000] [--json]

python-can is a benchmark-only dependency (pip install python-can); without it
that row is left out. Run under testing/vbus/run-with-vbus without kernel CAN.
"""

import argparse
import json
import socket
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
from peer import pack  # noqa: E402

import drovik  # noqa: E402

COUNT_RECEIVER = r"""
import socket, struct, sys, time
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
s.bind((sys.argv[1],))
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, struct.pack("ll", 1, 0))
print("ready", flush=True)
count, last = 0, 0.0
while True:
    try:
        if not s.recv(16):
            break  # the bus went away
    except OSError:
        break
    last = time.monotonic()
    count += 1
print(count, last, flush=True)
"""

DATA = bytes(range(8))


def blocking_sender(iface):
    device = drovik.CanDevice(iface)
    return lambda: device.send(0x123, DATA), lambda: None


def drovik_sender(iface):
    device = drovik.CanDeviceNonBlocking(iface)
    device.receive_timeout(200)  # the socket task opens the interface meanwhile
    return lambda: device.send(0x123, DATA), lambda: None


def python_can_sender(iface):
    import can

    bus = can.Bus(interface="socketcan", channel=iface)
    message = can.Message(arbitration_id=0x123, data=DATA, is_extended_id=False)

    def send():
        # python-can gives up when the socket's transmit buffer stays full; try again, as a user would.
        while True:
            try:
                return bus.send(message, timeout=1.0)
            except can.CanOperationError:
                continue

    return send, bus.shutdown


def socket_sender(iface):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.bind((iface,))
    frame = pack(0x123, DATA)
    return lambda: s.send(frame), s.close


def measure(iface, make_sender, frames):
    receiver = subprocess.Popen([sys.executable, "-c", COUNT_RECEIVER, iface], stdout=subprocess.PIPE, text=True)
    assert receiver.stdout.readline().strip() == "ready"
    send, close = make_sender(iface)
    began = time.monotonic()
    for _ in range(frames):
        send()
    calls = time.monotonic() - began
    count, last = receiver.stdout.readline().split()
    receiver.wait(timeout=60)
    close()
    count, span = int(count), float(last) - began
    return {
        "send_calls_per_s": round(frames / calls),
        "ns_per_call": round(calls / frames * 1e9),
        "offered": frames,
        "delivered": count,
        "delivered_per_s": round(count / span) if count and span > 0 else 0,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--frames", type=int, default=100_000)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    senders = [("CanDevice.send", blocking_sender), ("CanDeviceNonBlocking.send", drovik_sender),
               ("socket.send", socket_sender)]
    try:
        import can  # noqa: F401

        senders.insert(2, ("python-can Bus.send", python_can_sender))
    except ImportError:
        print("python-can is not installed: its row is left out", file=sys.stderr)
    results = {name: measure(args.iface, make, args.frames) for name, make in senders}
    if args.json:
        print(json.dumps(results, indent=2))
        return
    print(f"{'sender':28} {'calls/s':>10} {'ns/call':>8} {'delivered':>16} {'delivered/s':>12}")
    for name, r in results.items():
        print(f"{name:28} {r['send_calls_per_s']:>10} {r['ns_per_call']:>8} "
              f"{str(r['delivered']) + ' of ' + str(r['offered']):>16} {r['delivered_per_s']:>12}")


if __name__ == "__main__":
    main()
