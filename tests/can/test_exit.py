"""The interpreter exits promptly and quietly with everything running: timers
of all three modes, tasks inside their calls, a motor receiving feedback, and
CanDevice.receive called over and over in another thread (it keeps the GIL
while it waits, so the frames it gets come from another process). And on every
way the program stops, the motors' stop frame is the last broadcast."""

import subprocess
import sys
import time
from pathlib import Path

import pytest

from peer import Peer

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


# Safe stop: a child drives a Motor from a 1 kHz timer whose call sets a target,
# lets go of the GIL and then broadcasts, so that a call is often under way when
# the program stops; then it stops one way or another. The peer here watches the bus.
DRIVEN = """
import drovik, os, signal, sys, threading, time
iface = sys.argv[1]
motor = drovik.Motor(iface, 0x100)
wheel = motor.add_device(0, 0x201, "speed")
arm = motor.add_device(1, 0x202, "speed")
arm.set_target(2.0)
{stop_targets}
motors, holding = [motor], threading.Lock()
del motor
ticks = 0
def tick():
    global ticks
    with holding:  # the last reference always goes on the main thread
        for m in motors:
            ticks += 1
            wheel.set_target(ticks % 100 + 1)
            time.sleep(0.0006)
            m.broadcast()
        m = None  # not left to the frame's end, after the lock
handle = drovik.precision_timer(1000.0)(tick)()
while ticks < 200:
    time.sleep(0.001)
{stop}
"""
# The call under way at the stop broadcasts before the process ends at once
# (nothing sent after this point could come from the exit).
THEN_END = "\nwith holding: pass\nos._exit(0)"
STOPS = {
    "shutdown_all": "drovik.shutdown_all()" + THEN_END,
    "block_until": "drovik.block_until(wait_ms=0)" + THEN_END,
    "stop_all": "drovik.get_task_manager().stop_all()" + THEN_END,
    "manager_shutdown": "drovik.TaskManager().shutdown(timeout_ms=1000)" + THEN_END,
    # SIGTERM until block_all hears one; Python's own handler takes those before.
    "block_all": "signal.signal(signal.SIGTERM, lambda *_: None)\n"
                 "def term():\n"
                 "    while time.sleep(0.01) is None: os.kill(os.getpid(), signal.SIGTERM)\n"
                 "threading.Thread(target=term, daemon=True).start()\n"
                 "drovik.block_all()" + THEN_END,
    "script_end": "pass",
    "uncaught": "raise RuntimeError('boom')",
    "released": "with holding: motors.clear()\nos._exit(0)",
}
# Lines of the stops themselves, and of a running timer's handle freed as the interpreter ends.
EXPECTED_LINES = ("[drovik] ", "Warning: TimerHandle(")
WHEEL_STOP = "f6 ff"  # -1.0 rad/s
STOP_FRAME = "f6 ff 14 00 00 00 00 00"  # the wheel's stop target, the arm's current target


def other_lines(stderr):
    return [line for line in stderr.splitlines() if line and not line.startswith(EXPECTED_LINES)]


def run_driven(iface, stop_targets, stop, expected=None):
    """The payloads the child broadcast, in bus order, and its exit status and stderr;
    after its end, those still on their way: until the expected one came and then
    none for a while."""
    code = DRIVEN.format(stop_targets=stop_targets, stop=stop)
    with Peer(iface) as peer:
        child = subprocess.Popen([sys.executable, "-c", code, iface], stderr=subprocess.PIPE, text=True)
        payloads = []
        while True:
            running = child.poll() is None
            settled = expected is None or expected in payloads
            frame = peer.recv(timeout=0.05 if running else 0.5 if settled else 20)
            if frame is None and not running:
                return payloads, child.returncode, child.stderr.read()
            if frame is not None and frame[0] == 0x100:
                payloads.append(frame[1].hex(" "))


@pytest.mark.parametrize("stop", STOPS)
def test_the_stop_frame_is_the_last_broadcast(can_bus, stop):
    payloads, status, stderr = run_driven(can_bus.iface, "wheel.set_stop_target(-1.0)", STOPS[stop], STOP_FRAME)
    if stop == "uncaught":
        assert status == 1 and "\nRuntimeError: boom\n" in stderr and "Failed" not in stderr, stderr
    else:
        assert status == 0
        assert not other_lines(stderr), stderr
    assert STOP_FRAME in payloads, payloads[-5:]
    first = payloads.index(STOP_FRAME)
    assert first > 0, "the timer never broadcast"
    assert set(payloads[first:]) == {STOP_FRAME}, payloads[first:]


@pytest.mark.parametrize("stop", ["shutdown_all", "script_end", "released"])
def test_no_stop_frame_without_a_stop_target(can_bus, stop):
    payloads, status, stderr = run_driven(
        can_bus.iface, "wheel.set_stop_target(-1.0); wheel.set_stop_target(None)", STOPS[stop])
    assert status == 0 and not other_lines(stderr), stderr
    assert payloads and not any(p.startswith(WHEEL_STOP) for p in payloads)


IDLE = """
import drovik, os, sys
sys.path.insert(0, sys.argv[2])
from peer import Peer
iface = sys.argv[1]
motor = drovik.Motor(iface, 0x100)
wheel = motor.add_device(0, 0x201, "speed")
arm = motor.add_device(1, 0x202, "speed")
wheel.set_stop_target(-1.0)
with Peer(iface) as heard:  # until a broadcast came back, and every one before it
    for n in range(1, 3000):
        wheel.set_target(n)
        motor.broadcast()
        frame = heard.recv(timeout=0.05)
        while frame is not None and frame[1][:2] != (10 * n).to_bytes(2, "little"):
            frame = heard.recv(timeout=0.05)
        if frame is not None:
            break
arm.set_target(2.0)
print("ready", flush=True)
if sys.stdin.readline() == "stop\\n":
    drovik.shutdown_all()
    os._exit(0)
"""


# Without a fault, the script's end without any timer or job: the exit still stops.
@pytest.mark.parametrize("fault, ending, sent", [
    ("enobufs", "stop", True), ("eagain", "stop", True), ("link_down", "stop", False), (None, "end", True)])
def test_a_refused_stop_frame_is_retried_then_reported(can_bus, faults, fault, ending, sent):
    platform = faults.require(fault) if fault else None
    with Peer(can_bus.iface) as peer:
        child = subprocess.Popen([sys.executable, "-c", IDLE, can_bus.iface, str(Path(__file__).parents[1] / "support")],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "ready\n", child.stderr.read()
            if platform:
                platform.arm(fault, can_bus.iface, 5)  # the least retries, however late each wakes
            try:
                _, stderr = child.communicate(ending + "\n", timeout=60)
            finally:
                if fault == "link_down":
                    platform.link_up(can_bus.iface)
        finally:
            child.kill()
        assert child.returncode == 0
        if sent:
            assert stderr == ""
            assert next(data for data in peer.feedback(0x100) if data.hex(" ") == STOP_FRAME)
        else:
            lines = stderr.splitlines()
            assert lines.count("Failed to send stop frame: Network is down (os error 100)") == 1, lines
            assert set(lines) <= {"Failed to send stop frame: Network is down (os error 100)",
                                  "Failed to receive CAN frame: Network is down (os error 100)"}
