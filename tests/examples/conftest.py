"""The CAN interface and the simulated drivers the examples run against.

The interface is vcan0: the virtual bus's when its preload is active
(testing/vbus/run-with-vbus), else a kernel vcan0 if there is one.
"""

import os
import signal
import socket
import subprocess
import sys

import pytest

from example_runner import ROOT, TIME_LIMIT

sys.path.insert(0, str(ROOT / "tests" / "support"))


def _vcan0_usable() -> bool:
    try:
        with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
            s.bind(("vcan0",))
        return True
    except OSError:
        return False


@pytest.fixture(scope="session")
def iface() -> str:
    if not _vcan0_usable():
        pytest.skip("no vcan0: run under testing/vbus/run-with-vbus or bring up a kernel vcan0")
    return "vcan0"


@pytest.fixture
def motor_drivers(iface):
    """Four simulated drivers matching examples/motor_control.py, until the test ends."""
    env = dict(os.environ, PYTHONPATH=str(ROOT / "testing"))
    drivers = ["slot=0,id=0x201,mode=speed", "slot=1,id=0x202,mode=speed",
               "slot=2,id=0x203,mode=position", "slot=3,id=0x204,mode=current"]
    command = [sys.executable, "-m", "motor_sim", "--iface", iface, "--broadcast-id", "0x100", "--rate", "200"]
    for driver in drivers:
        command += ["--driver", driver]
    sim = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, text=True)
    try:
        assert sim.stdout.readline().startswith("motor_sim: ready"), "the simulated drivers did not start"
        yield sim
    finally:
        sim.send_signal(signal.SIGINT)
        try:
            sim.wait(timeout=TIME_LIMIT)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
