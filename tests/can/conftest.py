"""Picks the CAN platform the tests run on.

A kernel with SocketCAN and a vcan0 (a developer's machine, the user-mode
Linux guest) is used as it is; otherwise the virtual bus when the preload is
active ($DROVIK_VBUS, see testing/vbus/run-with-vbus); otherwise CAN tests skip.
"""

import errno
import gc
import os
import select
import shutil
import socket
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "testing" / "vbus"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
import vbus_control  # noqa: E402

import drovik  # noqa: E402

from fd2_tap import Fd2Tap  # noqa: E402
from peer import Peer, pack  # noqa: E402
from waiting import eventually  # noqa: E402

FAULT_ERRNO = {"link_down": errno.ENETDOWN, "enobufs": errno.ENOBUFS, "eagain": errno.EAGAIN}


@dataclass(frozen=True)
class CanBus:
    kind: str  # "kernel" or "emulation"
    ifaces: tuple[str, ...]

    @property
    def iface(self) -> str:
        return self.ifaces[0]


def _kernel_bus() -> CanBus | None:
    try:
        socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW).close()
    except OSError:
        return None
    present = tuple(name for name in ("vcan0", "vcan1") if _iface_exists(name))
    return CanBus("kernel", present) if present and present[0] == "vcan0" else None


def _iface_exists(name: str) -> bool:
    try:
        socket.if_nametoindex(name)
        return True
    except OSError:
        return False


def _detect() -> tuple[CanBus | None, str]:
    if vbus_control.active():
        try:
            socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW).close()
            return CanBus("emulation", tuple(vbus_control.interfaces())), ""
        except OSError as e:
            return None, f"${vbus_control.ENV} is set but the virtual bus does not answer ({e}); " \
                         "run under testing/vbus/run-with-vbus"
    bus = _kernel_bus()
    return bus, "" if bus else ("no CAN platform: the kernel lacks SocketCAN or vcan0 and the virtual bus is "
                                "not active (run under testing/vbus/run-with-vbus)")


_BUS, _NO_BUS_REASON = _detect()


@pytest.fixture(scope="session")
def can_bus() -> CanBus:
    if _BUS is None:
        pytest.skip(_NO_BUS_REASON)
    return _BUS


@pytest.fixture
def two_ifaces(can_bus) -> tuple[str, str]:
    if len(can_bus.ifaces) < 2:
        pytest.skip("needs a second interface (vcan1)")
    return can_bus.ifaces[0], can_bus.ifaces[1]


def failing_write(tx: Peer) -> OSError:
    try:
        tx.sock.send(pack(0x7E, b"fault"))
    except OSError as e:
        return e
    pytest.fail("the write succeeded although a fault was armed")


class EmulatedFaults:
    kinds = frozenset(FAULT_ERRNO)

    def link_down(self, iface: str) -> None:
        vbus_control.link_down(iface)

    def link_up(self, iface: str) -> None:
        vbus_control.link_up(iface)

    def arm(self, kind: str, iface: str, count: int) -> None:
        """The next `count` writes on iface, from any socket, fail as `kind` would (link_down: all until link_up)."""
        if kind == "link_down":
            self.link_down(iface)
        else:
            vbus_control.fail_writes(iface, FAULT_ERRNO[kind], count)

    def provoke(self, kind: str, iface: str, tx: Peer) -> OSError:
        """Makes the next write on tx fail as `kind` would, and returns that failure."""
        self.arm(kind, iface, 1)
        return failing_write(tx)

    def clear(self, kind: str, iface: str, tx: Peer) -> None:
        if kind == "link_down":
            self.link_up(iface)


class KernelFaults:
    """What a real kernel can be made to do: link state as root, a full send buffer."""

    def __init__(self):
        can_set_link = os.geteuid() == 0 and shutil.which("ip") is not None
        self.kinds = frozenset({"eagain"} | ({"link_down"} if can_set_link else set()))

    def arm(self, kind: str, iface: str, count: int) -> None:
        """Only a link can be made to refuse another process's socket here."""
        if kind != "link_down":
            pytest.skip(f"a kernel cannot be made to refuse another socket's writes as {kind}")
        self.link_down(iface)

    def _ip_link(self, iface: str, state: str) -> None:
        subprocess.run(["ip", "link", "set", iface, state], check=True)

    def link_down(self, iface: str) -> None:
        self._ip_link(iface, "down")

    def link_up(self, iface: str) -> None:
        self._ip_link(iface, "up")

    def provoke(self, kind: str, iface: str, tx: Peer) -> OSError:
        if kind == "link_down":
            self.link_down(iface)
            return failing_write(tx)
        tx.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 0)  # the kernel's minimum
        tx.sock.setblocking(False)
        for _ in range(100_000):
            try:
                tx.sock.send(pack(0x7E, b"fill"))
            except OSError as e:
                return e
        pytest.skip("this kernel drained the send buffer faster than it could be filled")

    def clear(self, kind: str, iface: str, tx: Peer) -> None:
        if kind == "link_down":
            self.link_up(iface)
        else:
            select.select([], [tx.sock], [], 30)
            tx.sock.setblocking(True)


class Faults:
    """The faults this platform can give; require() skips a test needing another."""

    def __init__(self, platform):
        self._platform = platform

    @property
    def kinds(self) -> frozenset[str]:
        return self._platform.kinds

    def require(self, kind: str):
        if kind not in self._platform.kinds:
            pytest.skip(f"this platform cannot give the fault {kind}")
        return self._platform


@pytest.fixture
def faults(can_bus) -> Faults:
    return Faults(EmulatedFaults() if can_bus.kind == "emulation" else KernelFaults())


@pytest.fixture
def emulation(can_bus) -> CanBus:
    if can_bus.kind != "emulation":
        pytest.skip("tests the virtual bus itself")
    return can_bus


@pytest.fixture
def peer(can_bus):
    """A stdlib-socket node on the test interface."""
    with Peer(can_bus.iface) as p:
        yield p


@pytest.fixture
def heard_motor(can_bus, peer):
    """Makes Motors whose socket, opened in the background, is known to be open: one of
    its broadcasts reached the peer (the peer is drained afterwards)."""
    def make(broadcast_id: int) -> drovik.Motor:
        motor = drovik.Motor(can_bus.iface, broadcast_id)
        assert eventually(lambda: motor.broadcast() is None and peer.recv(timeout=0.05) is not None)
        peer.drain()
        return motor
    return make


@pytest.fixture
def fd2():
    """What the test's call writes to file descriptor 2, every line of it (see Fd2Tap)."""
    tap = Fd2Tap()
    yield tap
    tap.close()


@pytest.hookimpl(wrapper=True, trylast=True)
def pytest_runtest_call(item):
    # Innermost, so pytest's own capture has pointed fd 2 at its file before the tap
    # takes it over, and gets it back before pytest looks again.
    tap = getattr(item, "funcargs", {}).get("fd2")
    if tap is None:
        return (yield)
    tap.attach()
    try:
        return (yield)
    finally:
        tap.detach()


@pytest.fixture(autouse=True)
def no_stray_motors():
    """A test's pytest.raises keeps its frame, and so its Motor, in a reference cycle:
    collected late, its receive task would report the next test's frames as unmatched."""
    yield
    gc.collect()
