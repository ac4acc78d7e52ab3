"""A burst into a reader that is not waiting for it: 2,000 frames sent by another
process as fast as the socket takes them, into CanDeviceNonBlocking read late
(receive_timeout(50) once the burst is over) or polled with try_receive() every
2 ms, beside a stdlib thread doing q.put(sock.recv(16)) into a SimpleQueue and a
socket nobody reads. Same run, same sender; each row gives the frames kept and
the CPU time this process spent from the burst's start to the last frame read
(the sender runs in its own process).

    python3 bench/burst.py [--iface vcan0] [--frames 2000] [--rounds 3] [--json]

Run under testing/vbus/run-with-vbus without kernel CAN.
"""

import argparse
import json
import queue
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

SUPPORT = Path(__file__).resolve().parents[1] / "tests" / "support"
sys.path.insert(0, str(SUPPORT))
from peer import Peer, unpack, wait_until_heard  # noqa: E402

import drovik  # noqa: E402

WORD = 0x300


def cpu():
    return time.process_time()


def send_burst(iface, count):
    subprocess.run([sys.executable, str(SUPPORT / "peer.py"), "send", iface, hex(WORD), str(count)], check=True)


def stdlib_thread(iface, count):
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    sock.bind((iface,))
    q = queue.SimpleQueue()
    stop = False

    def reader():
        while not stop:
            try:
                q.put(sock.recv(16))
            except TimeoutError:
                pass

    sock.settimeout(0.05)
    thread = threading.Thread(target=reader)
    thread.start()
    start = cpu()
    send_burst(iface, count)
    kept = 0
    while True:
        try:
            q.get(timeout=0.05)
        except queue.Empty:
            break
        kept += 1
    spent = cpu() - start
    stop = True
    thread.join()
    sock.close()
    return kept, spent


def device(iface, count, poll):
    dev = drovik.CanDeviceNonBlocking(iface)
    probe = Peer(iface)
    wait_until_heard(probe.send, lambda: dev.receive_timeout(50))
    probe.sock.close()
    kept = 0
    start = cpu()
    sender = threading.Thread(target=send_burst, args=(iface, count))
    sender.start()
    while poll and sender.is_alive():
        kept += dev.try_receive() is not None
        time.sleep(0.002)
    sender.join()
    while dev.receive_timeout(50) is not None:
        kept += 1
    spent = cpu() - start
    del dev
    return kept, spent


def unread(iface, count):
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    sock.bind((iface,))
    start = cpu()
    send_burst(iface, count)
    sock.setblocking(False)
    kept = 0
    while True:
        try:
            unpack(sock.recv(16))
        except BlockingIOError:
            break
        kept += 1
    spent = cpu() - start
    sock.close()
    return kept, spent


ROWS = {
    "stdlib thread q.put(sock.recv(16))": stdlib_thread,
    "CanDeviceNonBlocking read late (receive_timeout(50))": lambda i, c: device(i, c, poll=False),
    "CanDeviceNonBlocking try_receive() every 2 ms": lambda i, c: device(i, c, poll=True),
    "socket nobody reads": unread,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    results = {name: [] for name in ROWS}
    for _ in range(args.rounds):
        for name, run in ROWS.items():
            results[name].append(run(args.iface, args.frames))
    if args.json:
        print(json.dumps({"frames": args.frames, "rows": results}))
        return
    print(f"{args.frames} frames a burst, {args.rounds} rounds, rows taking turns")
    for name, runs in results.items():
        kept = ", ".join(str(k) for k, _ in runs)
        spent = ", ".join(f"{s * 1000:.1f}" for _, s in runs)
        print(f"{name:55s} kept {kept:20s} CPU ms {spent}")


if __name__ == "__main__":
    main()
