"""Memory per received frame left unread in a queue: CanDeviceNonBlocking's receive
queue against python-can's Notifier feeding a BufferedReader (the queue python-can
offers), each in a fresh process, in one run on one bus. A peer sends the frames;
resident memory is read once it has stopped growing, then the queue is drained to
count the frames it held (a bus that drops frames for a slow reader may give fewer).

    python3 bench/queued_bytes.py [--iface vcan0] [--frames 200000] [--json]

Run it under testing/vbus/run-with-vbus on a machine without kernel CAN.
"""

import argparse
import json
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

MEASURE = r"""
import sys, time
sys.path[:0] = [{here!r}, {peers!r}]
from procstat import rss_kib
from peer import Peer
iface, frames, kind = {iface!r}, {frames}, {kind!r}
peer = Peer(iface)
if kind == "drovik":
    import drovik
    device = drovik.CanDeviceNonBlocking(iface)
    while device.send(0x7FF, b"") is None and peer.recv(timeout=0.05) is None:
        pass  # until the socket, opened in the background, is heard
    take = lambda: device.receive_timeout(2000)
else:
    import can
    bus = can.Bus(interface="socketcan", channel=iface)
    reader = can.BufferedReader()
    notifier = can.Notifier(bus, [reader])
    take = lambda: reader.get_message(2.0)
peer.drain()
time.sleep(0.2)
before = rss_kib()
for n in range(frames):
    peer.send(0x123, n.to_bytes(8, "little"))
    if n % 100 == 99:
        time.sleep(0.0005)  # no faster than the reader's socket buffer is emptied
settled, last = 0, rss_kib()
while settled < 5:
    time.sleep(0.1)
    now = rss_kib()
    settled, last = (settled + 1, now) if now == last else (0, now)
after = last
got = 0
while take() is not None:
    got += 1
print(frames, got, round((after - before) * 1024 / max(got, 1), 1))
"""


def measure(iface, frames, kind):
    code = MEASURE.format(here=str(HERE), peers=str(HERE.parent / "tests" / "support"), iface=iface, frames=frames,
                          kind=kind)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=600)
    sent, got, per_frame = out.stdout.split()
    return {"frames_sent": int(sent), "frames_queued": int(got), "bytes_per_frame": float(per_frame)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--frames", type=int, default=200_000)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    results = {"CanDeviceNonBlocking": measure(args.iface, args.frames, "drovik")}
    try:
        import can  # noqa: F401

        results["python-can Notifier + BufferedReader"] = measure(args.iface, args.frames, "python-can")
    except ImportError:
        print("python-can is not installed: its row is left out", file=sys.stderr)
    print(json.dumps(results, indent=2 if args.json else None))


if __name__ == "__main__":
    main()
