"""What the CAN devices pass over and how their waits end: remote requests never
come out as data, and Ctrl+C ends a blocking receive that keeps the interpreter lock."""

import signal
import sys
from pathlib import Path

import pytest

import drovik
from peer import EFF_FLAG, RTR_FLAG
from waiting import eventually

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from signals import Child  # noqa: E402


def receive_blocking(device):
    return device.receive()


def receive_queued(device):
    return device.receive_timeout(10_000)


@pytest.mark.parametrize("make, receive", [(drovik.CanDevice, receive_blocking),
                                           (drovik.CanDeviceNonBlocking, receive_queued)])
def test_remote_requests_are_passed_over(can_bus, peer, make, receive):
    device = make(can_bus.iface)
    # Heard by the peer: a socket opened in the background is open.
    assert eventually(lambda: device.send(0x7FF, b"") is None and peer.recv(timeout=0.05) is not None)
    peer.drain()
    peer.send(RTR_FLAG | 0x123, bytes(8))
    peer.send(RTR_FLAG | EFF_FLAG | 0x124, b"")
    peer.send(0x125, b"\x01")
    assert receive(device) == (0x125, b"\x01")


# The child waits in a receive on a silent bus; SIGINT comes once it waits.
# With SIGINT blocked in the main thread, another thread takes the signal and only the
# wait's own look at pending signals can notice it.
RECEIVER = """
import signal, sys, time
import drovik
device = drovik.{make}({iface!r})
if {elsewhere}:
    signal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGINT}})  # the runtime's threads take it
print("ready", flush=True)
try:
    device.{receive}
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
signal.pthread_sigmask(signal.SIG_UNBLOCK, {{signal.SIGINT}})
from peer import Peer
Peer({iface!r}).send(0x42, b"ok")
print(device.{receive}, flush=True)
"""


@pytest.mark.parametrize("make, receive", [("CanDevice", "receive()"),
                                           ("CanDeviceNonBlocking", "receive_timeout(10**9)")])
@pytest.mark.parametrize("elsewhere", [False, True], ids=["to-the-waiting-thread", "to-another-thread"])
def test_sigint_ends_a_blocking_receive_and_leaves_the_device_usable(can_bus, elsewhere, make, receive,
                                                                     monkeypatch):
    monkeypatch.setenv("PYTHONPATH", str(Path(__file__).resolve().parents[1] / "support"), prepend=":")
    child = Child(RECEIVER.format(iface=can_bus.iface, elsewhere=elsewhere, make=make, receive=receive))
    child.signal(signal.SIGINT)
    status, out, err = child.finish()
    assert status == 0, err
    lines = out.splitlines()
    assert lines[0].startswith("interrupted")
    assert lines[1] == "(66, b'ok')"
