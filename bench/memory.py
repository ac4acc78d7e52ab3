"""Memory after heavy use: a million frames sent and a million received through
one CanDeviceNonBlocking, a million left unread in a device's queue until it is
released, then handles and timers started and released by the thousand. Prints resident memory (KiB) at each step as JSON; flat is the goal.
Not part of the test run.

    python3 bench/memory.py [--iface vcan0] [--frames 1000000]

Run it under testing/vbus/run-with-vbus on a machine without kernel CAN.
"""

import argparse
import ctypes
import gc
import json
import struct
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
from peer import Peer, wait_until_heard  # noqa: E402

import drovik  # noqa: E402
from procstat import counts, rss_kib  # noqa: E402

# Frames in flight before the sender waits for the receiver: far below a socket's
# receive buffer, so the bus never has cause to drop one.
WINDOW = 200


def open_device(iface, peer):
    """A CanDeviceNonBlocking whose socket, opened in the background, is known to be open."""
    device = drovik.CanDeviceNonBlocking(iface)
    wait_until_heard(device.send, lambda: peer.recv(timeout=0.05))
    return device


def send_through_module(device, peer, frames):
    """device.send() -> bus -> peer; returns how many the peer got."""
    got = [0]
    taken = threading.Condition()

    def read():
        while got[0] < frames:
            if peer.recv(timeout=10) is None:
                break
            with taken:
                got[0] += 1
                taken.notify()

    reader = threading.Thread(target=read)
    reader.start()
    payload = struct.Struct("<Q")
    for n in range(frames):
        device.send(0x123, payload.pack(n))
        if n % WINDOW == WINDOW - 1:
            with taken:
                taken.wait_for(lambda: got[0] > n - WINDOW // 2, timeout=10)
    reader.join()
    return got[0]


def receive_through_module(device, peer, frames):
    """peer -> bus -> device.try_receive(); returns how many the device got."""
    got = 0
    for start in range(0, frames, WINDOW):
        for n in range(start, min(start + WINDOW, frames)):
            peer.send(0x321, n.to_bytes(8, "little"))
        while got < min(start + WINDOW, frames):
            if device.receive_timeout(10_000) is None:
                return got
            got += 1
    return got


def queue_unread(iface, peer, frames):
    """Frames the device's socket task queues but nobody reads, then the device released:
    returns RSS with the queue full, after release, and after malloc_trim."""
    device = open_device(iface, peer)
    for start in range(0, frames, WINDOW):
        for n in range(start, min(start + WINDOW, frames)):
            peer.send(0x321, n.to_bytes(8, "little"))
        time.sleep(0.002)  # paced like a busy bus, so the socket's buffer never overflows
    time.sleep(0.5)
    full = rss_kib()
    # The socket task ends at the next frame after its device is gone (and frees the queue).
    del device
    gc.collect()
    peer.send(0x7FF, b"")
    time.sleep(0.5)
    released = rss_kib()
    # glibc keeps freed small blocks of worker-thread arenas mapped; trimming shows
    # whether they were freed at all.
    ctypes.CDLL(None).malloc_trim(0)
    return full, released, rss_kib()


def handles_and_timers(rounds):
    double = drovik.run_async(lambda x: 2 * x)
    for n in range(rounds):
        assert double(n).wait(10_000) == 2 * n
        if n % 10 == 0:
            handle = drovik.timer(1000.0)(lambda: None)()
            handle.stop()
            handle = drovik.precision_timer(1000.0)(lambda: None)()
            handle.stop()
    del handle
    drovik.get_task_manager().wait_all(10_000)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--handles", type=int, default=50_000)
    args = parser.parse_args()

    report = {"start": rss_kib()}
    with Peer(args.iface) as peer:
        peer.enlarge_receive_buffer()
        device = open_device(args.iface, peer)
        warm = args.frames // 10
        send_through_module(device, peer, warm), receive_through_module(device, peer, warm)
        report["after_warmup"] = rss_kib()
        report["sent"] = send_through_module(device, peer, args.frames)
        report["after_sending"] = rss_kib()
        report["received"] = receive_through_module(device, peer, args.frames)
        report["after_receiving"] = rss_kib()
        del device
        gc.collect()
        report["device_released"] = rss_kib()
        report["queue_of_unread_frames"], report["queue_released"], report["queue_released_and_trimmed"] = \
            queue_unread(args.iface, peer, args.frames)
    handles_and_timers(args.handles // 10)
    report["handles_warmup"] = rss_kib()
    handles_and_timers(args.handles)
    report["after_handles_and_timers"] = rss_kib()
    report["threads_fds"] = counts()
    print(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
