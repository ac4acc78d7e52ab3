"""Soak: four simulated drivers, a 1 kHz precision control loop broadcasting
every tick, feedback at 1 kHz per driver, a normal timer and run_async jobs,
for a set time. Checks that nothing the bus delivered was lost, memory stays
flat after warm-up, the tick count stays within 0.1 % of the expected count,
and threads and descriptors do not grow. Not part of the test run.

    python3 bench/soak.py [--iface vcan0] [--minutes 10]

Run it under testing/vbus/run-with-vbus on a machine without kernel CAN.
"""

import argparse
import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import drovik
from procstat import counts, rss_kib

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
from peer import Peer, wait_until_heard  # noqa: E402

TESTING = Path(__file__).resolve().parents[1] / "testing"
FEEDBACK_IDS = (0x201, 0x202, 0x203, 0x204)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--minutes", type=float, default=10.0)
    args = parser.parse_args()

    # The witness of what the bus delivered opens first, so that it hears every
    # frame the simulator will send.
    listener = drovik.CanDeviceNonBlocking(args.iface)
    with Peer(args.iface) as probe:
        wait_until_heard(probe.send, lambda: listener.receive_timeout(50))

    sim = subprocess.Popen(
        [sys.executable, "-m", "motor_sim", "--iface", args.iface, "--broadcast-id", "0x100", "--rate", "1000",
         "--driver", "slot=0,id=0x201,mode=speed", "--driver", "slot=1,id=0x202,mode=speed",
         "--driver", "slot=2,id=0x203,mode=position", "--driver", "slot=3,id=0x204,mode=current"],
        cwd=TESTING, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert sim.stdout.readline().startswith("motor_sim: ready")

    motor = drovik.Motor(args.iface, 0x100)
    devices = [motor.add_device(slot, fid, mode) for slot, (fid, mode) in
               enumerate(zip(FEEDBACK_IDS, ["speed", "speed", "position", "current"]))]
    received = {fid: 0 for fid in FEEDBACK_IDS}
    draining = [True]

    @drovik.run_async
    def drain():
        # try_receive with pauses: a waiting receive_timeout would keep the
        # interpreter lock from the control loop for the whole wait.
        while True:
            frame = listener.try_receive()
            if frame is None:
                if not draining[0]:
                    return
                time.sleep(0.005)
            elif frame[0] in received:
                received[frame[0]] += 1

    @drovik.run_async
    def note(sample):
        samples.append(sample)  # a short job, started every few seconds

    t0 = time.monotonic()

    @drovik.precision_timer(1000.0)
    def control():
        t = time.monotonic() - t0
        for n, device in enumerate(devices):
            device.set_target((n + 1) * (1.0 if int(t) % 2 else -1.0))
        motor.broadcast()

    janitor_ticks = [0]

    @drovik.timer(10.0)
    def janitor():
        janitor_ticks[0] += 1

    samples = []
    loop, slow, drainer = control(), janitor(), drain()
    deadline = t0 + args.minutes * 60
    while time.monotonic() < deadline:
        time.sleep(5)
        note((time.monotonic() - t0, rss_kib(), *counts(), loop.tick_count())).wait(timeout_ms=10_000)
    elapsed = time.monotonic() - t0
    loop.stop(), slow.stop()
    sim.send_signal(signal.SIGINT)
    _, sim_err = sim.communicate(timeout=30)
    time.sleep(0.5)  # the last frames reach the listener
    draining[0] = False
    drainer.wait(timeout_ms=10_000)

    warm = [s for s in samples if s[0] >= 60] or samples
    expected_ticks = elapsed * 1000.0
    report = {
        "minutes": round(elapsed / 60, 2),
        "ticks": loop.tick_count(),
        "tick_error_percent": round(100 * (loop.tick_count() - expected_ticks) / expected_ticks, 3),
        "rss_kib_after_warmup": [warm[0][1], max(s[1] for s in warm), warm[-1][1]],
        "threads": [samples[0][2], max(s[2] for s in samples), samples[-1][2]],
        "fds": [samples[0][3], max(s[3] for s in samples), samples[-1][3]],
        "feedback_received_by_drovik": received,
        "simulator_summary": sim_err.strip().splitlines()[-1:] if sim_err else [],
        "normal_timer_ticks": janitor_ticks[0],
    }
    print(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
