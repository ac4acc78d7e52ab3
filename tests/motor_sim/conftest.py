"""Fixtures for the simulator's tests: the platform check, a bus peer, simulators, the link.

The bus tests need a raw CAN socket on vcan0: a kernel with vcan (the
testing/uml guest) or the virtual bus (testing/vbus/run-with-vbus).
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "testing"), str(ROOT / "testing" / "vbus"), str(ROOT / "tests" / "support")]

import vbus_control  # noqa: E402
from motor_sim import DriverConfig, MotorSimulator  # noqa: E402
from peer import Peer, why_no_can  # noqa: E402

IFACE = "vcan0"
_NO_CAN = why_no_can(IFACE)


@pytest.fixture(scope="session")
def can_iface() -> str:
    if _NO_CAN:
        pytest.skip(f"{_NO_CAN}: run on a kernel with vcan0 or under testing/vbus/run-with-vbus")
    return IFACE


@pytest.fixture
def peer(can_iface):
    with Peer(can_iface) as bus_peer:
        yield bus_peer


@pytest.fixture
def simulator(can_iface):
    """simulator("slot=0,id=0x201,mode=speed", ..., rate=, broadcast_id=) -> a started MotorSimulator."""
    started = []

    def start(*drivers: str, rate: float = 1000.0, broadcast_id: int = 0x100) -> MotorSimulator:
        sim = MotorSimulator(can_iface, broadcast_id, [DriverConfig.parse(d) for d in drivers], rate)
        started.append(sim.start())
        return sim

    yield start
    for sim in started:
        sim.stop()  # raises what the simulator's thread died of


@pytest.fixture
def link(can_iface):
    """link(False) takes the interface down, link(True) brings it back: on the virtual bus
    through its control socket, on a kernel with `ip link` as root."""
    if vbus_control.active():
        def set_up(up: bool) -> None:
            (vbus_control.link_up if up else vbus_control.link_down)(can_iface)
    elif os.geteuid() == 0 and shutil.which("ip"):
        def set_up(up: bool) -> None:
            subprocess.run(["ip", "link", "set", can_iface, "up" if up else "down"], check=True)
    else:
        pytest.skip("taking the link down needs the virtual bus or root with ip(8)")
    yield set_up
    set_up(True)
