"""The interpreter exits promptly and quietly with everything running: timers
of all three modes, tasks inside their calls, a motor receiving feedback, and
CanDevice.receive called over and over in another thread (it keeps the GIL
while it waits, so the frames it gets come from another process)."""

import subprocess
import sys
import time
from pathlib import Path

import pytest

FEEDER = f"""
import os, struct, sys, time
sys.path.insert(0, {str(Path(__file__).resolve().parents[1] / "support")!r})
from peer import Peer
peer = Peer(sys.argv[1])
while os.getppid() == int(sys.argv[2]):
    peer.send(0x201, struct.pack("<fhh", 1.0, 0, 0))
    time.sleep(0.005)
"""

EVERYTHING_RUNNING = "FEEDER = " + repr(FEEDER) + """
import drovik, os, subprocess, sys, threading, time
iface = {iface!r}
# Feedback from another process, every 5 ms until this one is gone.
feeder = subprocess.Popen([sys.executable, "-c", FEEDER, iface, str(os.getpid())])
inside = threading.Event()
def slow():
    inside.set()
    time.sleep(0.3)
timers = [
    drovik.timer(50.0)(lambda: None)(),
    drovik.precision_timer(100.0)(lambda: None)(),
    drovik.precision_timer(500.0, realtime=True)(lambda: None)(),
    drovik.precision_timer(20.0)(slow)(),
]
tasks = [drovik.run_async(time.sleep)(30) for _ in range(3)]
motor = drovik.Motor(iface, 0x100)
wheel = motor.add_device(0, 0x201, "speed")
blocked = drovik.CanDevice(iface)
def receive_forever():
    while True:
        blocked.receive()
threading.Thread(target=receive_forever, daemon=True).start()
while wheel.get_watch_data()["position"] != 1.0:  # feedback reaches the motor
    motor.broadcast()
    time.sleep(0.001)
inside.wait(20)
for h in tasks + timers:
    h.cancel() if hasattr(h, "cancel") else h.stop()
print("exiting", flush=True)
"""


@pytest.mark.parametrize("run", range(10))
def test_exit_with_everything_running(can_bus, run):
    code = EVERYTHING_RUNNING.format(can_dir=str(Path(__file__).parent), iface=can_bus.iface)
    began = time.monotonic()
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "exiting\n"), result.stderr
    assert result.stderr == ""
    assert time.monotonic() - began < 30
