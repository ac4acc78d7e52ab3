"""A bus peer written on the standard library alone, and the platform check.

The bus tests need a raw CAN socket on vcan0: a kernel with vcan (the
testing/uml guest) or the virtual bus (testing/vbus/run-with-vbus).
"""

import errno
import os
import select
import shutil
import subprocess
import socket
import struct
import sys
import time
from pathlib import Path

import pytest

TESTING = Path(__file__).resolve().parents[2] / "testing"
sys.path[:0] = [str(TESTING), str(TESTING / "vbus")]

import vbus_control  # noqa: E402
from motor_sim import DriverConfig, MotorSimulator  # noqa: E402

IFACE = "vcan0"
FRAME = struct.Struct("=IB3x8s")
EFF_FLAG = 0x80000000
RTR_FLAG = 0x40000000
DEADLINE = 20.0  # seconds; generous for a loaded two-core machine


def _why_no_can() -> str | None:
    try:
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    except (AttributeError, OSError) as error:
        return f"no raw CAN sockets here ({error})"
    with sock:
        try:
            sock.bind((IFACE,))
        except OSError as error:
            return f"cannot bind a raw CAN socket to {IFACE} ({error})"
    return None


_NO_CAN = _why_no_can()


@pytest.fixture(scope="session")
def can_iface() -> str:
    if _NO_CAN:
        pytest.skip(f"{_NO_CAN}: run on a kernel with vcan0 or under testing/vbus/run-with-vbus")
    return IFACE


class BusPeer:
    """The host's side of the bus, seen through struct only."""

    def __init__(self, iface: str):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.bind((iface,))

    def send(self, word: int, data: bytes) -> None:
        self.sock.send(FRAME.pack(word, len(data), data))

    def broadcast(self, counts: tuple[int, int, int, int], word: int = 0x100) -> None:
        self.send(word, struct.pack("<4h", *counts))

    def frames(self):
        """(word, data) of every frame received, failing the test once DEADLINE has passed."""
        deadline = time.monotonic() + DEADLINE
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                pytest.fail(f"no expected frame within {DEADLINE} s")
            try:
                raw = self.sock.recv(FRAME.size)
            except OSError as error:
                if error.errno == errno.ENETDOWN:
                    continue  # a link flap is reported once to every bound socket
                raise
            word, length, data = FRAME.unpack(raw)
            yield word, data[:length]

    def feedback(self, word: int):
        """Data of the frames with this identifier word, one by one."""
        return (data for got, data in self.frames() if got == word)

    def feedback_until(self, word: int, done) -> list[bytes]:
        """Data of the frames with this word up to the first one that done() accepts."""
        seen = []
        for data in self.feedback(word):
            seen.append(data)
            if done(data):
                return seen

    def close(self) -> None:
        self.sock.close()


@pytest.fixture
def peer(can_iface):
    bus_peer = BusPeer(can_iface)
    yield bus_peer
    bus_peer.close()


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
