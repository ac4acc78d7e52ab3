"""The blocking CanDevice against a stdlib-socket peer on the test bus."""

import errno
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import drovik
from payloads import Reentrant
from peer import DEADLINE, EFF_FLAG, Peer, wait_until_heard
from waiting import eventually

PEER = str(Path(__file__).resolve().parents[1] / "support" / "peer.py")


@pytest.fixture
def device(can_bus):
    return drovik.CanDevice(can_bus.iface)


@pytest.mark.parametrize("name", ["nosuchcan0", "", "vcan0\0x", "v" * 4096, "v" * 5000])
def test_open_failures(can_bus, name):
    with pytest.raises(OSError) as raised:
        drovik.CanDevice(name)
    assert raised.value.args == ("Failed to open CAN Socket",)
    assert raised.value.errno is None


def test_interface_argument_must_be_str(can_bus):
    with pytest.raises(TypeError, match="^argument 'interface': 'bytes' object cannot be converted to 'str'$"):
        drovik.CanDevice(b"vcan0")
    with pytest.raises(TypeError):
        drovik.CanDevice()


def test_interface_returns_the_name_as_given(can_bus):
    assert drovik.CanDevice(interface=can_bus.iface).interface() == can_bus.iface


@pytest.mark.parametrize(
    "can_id, data, word, wire",
    [
        (0x100, [1, 2, 3], 0x100, b"\x01\x02\x03"),
        (0x100, b"\x01\x02\x03", 0x100, b"\x01\x02\x03"),
        (0x100, bytearray(b"\x01\x02\x03"), 0x100, b"\x01\x02\x03"),
        (0x100, (1, 2, 3), 0x100, b"\x01\x02\x03"),
        (0x100, b"", 0x100, b""),
        (0x000, bytes(range(8)), 0x000, bytes(range(8))),
        (0x7FF, b"\xff", 0x7FF, b"\xff"),
        (0x800, b"", EFF_FLAG | 0x800, b""),
        (0x1FFFFFFF, [0xAA] * 8, EFF_FLAG | 0x1FFFFFFF, b"\xaa" * 8),
    ],
)
def test_send_puts_the_exact_frame_on_the_wire(device, peer, can_id, data, word, wire):
    assert device.send(can_id, data) is None
    assert peer.recv(timeout=10) == (word, wire)


def test_send_takes_keywords(device, peer):
    device.send(data=[7], id=0x55)
    assert peer.recv(timeout=10) == (0x55, b"\x07")


@pytest.mark.parametrize(
    "can_id, data, message",
    [
        (0x100, bytes(9), "Payload is larger than CAN maximum of 8 bytes"),
        (0x20000000, bytes(9), "Payload is larger than CAN maximum of 8 bytes"),
        (0x20000000, b"", "CAN ID too large"),
        (0xFFFFFFFF, b"", "CAN ID too large"),
    ],
)
def test_invalid_frames_are_refused_and_nothing_is_sent(device, peer, can_id, data, message):
    with pytest.raises(OSError) as raised:
        device.send(can_id, data)
    assert raised.value.args == (message,)
    device.send(0x42, b"ok")  # still usable, and the refused frame never went out
    assert peer.recv(timeout=10) == (0x42, b"ok")


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"id": 0x100, "data": "abc"}, TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        ({"id": 0x100, "data": 5}, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
        ({"id": -1, "data": b""}, OverflowError, None),
        ({"id": 1 << 32, "data": b""}, OverflowError, None),
        ({"id": "1", "data": b""}, TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
        ({"id": 0x100, "data": [256]}, OverflowError, None),
    ],
)
def test_argument_errors(device, kwargs, error, message):
    with pytest.raises(error) as raised:
        device.send(**kwargs)
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize("word", [0x123, EFF_FLAG | 0x123])
def test_receive_drops_flag_bits(device, peer, word):
    peer.send(word, b"\x01\x02")
    assert device.receive() == (0x123, b"\x01\x02")


def test_receive_keeps_frames_in_order_and_lengths(device, peer):
    frames = [(i, bytes(range(i % 9))) for i in range(50)]
    for can_id, data in frames:
        peer.send(can_id, data)
    assert [device.receive() for _ in frames] == frames


def test_a_device_does_not_receive_its_own_frames(can_bus, device, peer):
    other = drovik.CanDevice(can_bus.iface)
    device.send(0x10, b"a")
    assert other.receive() == (0x10, b"a")
    peer.send(0x11, b"b")
    assert device.receive() == (0x11, b"b")  # not its own 0x10


def test_enobufs_is_reported_at_once(device, faults, can_bus, peer):
    faults.require("enobufs")
    if can_bus.kind != "emulation":
        pytest.skip("ENOBUFS on demand needs the virtual bus")
    import vbus_control

    vbus_control.fail_writes(can_bus.iface, errno.ENOBUFS, 1)
    with pytest.raises(OSError) as raised:
        device.send(0x100, b"x")
    assert raised.value.args == ("No buffer space available (os error 105)",)
    assert device.bus_state()["tx_failed"] == 1
    device.send(0x101, b"y")
    assert peer.recv(timeout=10) == (0x101, b"y")
    assert device.bus_state()["tx_failed"] == 1


def test_eagain_is_retried_until_the_frame_goes(device, can_bus, peer, faults):
    faults.require("eagain")
    if can_bus.kind != "emulation":
        pytest.skip("a write answered EAGAIN on demand needs the virtual bus")
    import vbus_control

    vbus_control.fail_writes(can_bus.iface, errno.EAGAIN, 50)
    device.send(0x100, b"late")
    assert peer.recv(timeout=10) == (0x100, b"late")


def test_network_down_text(device, can_bus, faults, peer):
    platform = faults.require("link_down")
    platform.link_down(can_bus.iface)
    try:
        with pytest.raises(OSError) as raised:
            device.send(0x100, b"x")
        assert raised.value.args == ("Network is down (os error 100)",)
    finally:
        platform.link_up(can_bus.iface)


def test_reentrant_calls_during_data_conversion_are_refused(device, peer):
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        device.send(0x100, Reentrant(lambda: device.send(0x101, b"")))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        device.send(0x100, Reentrant(device.interface))
    assert peer.recv(timeout=0.2) is None  # neither frame went out
    device.send(0x102, b"")  # the borrow was given back
    assert peer.recv(timeout=10) == (0x102, b"")


def test_receive_keeps_the_gil_while_it_waits(can_bus):
    """While one thread waits in receive(), no other Python thread runs."""
    device = drovik.CanDevice(can_bus.iface)
    stamps, result = [], []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.001)

    # The frame comes from another process, 0.5 s after it starts.
    sender = subprocess.Popen(
        [sys.executable, "-c", f"import time, sys; sys.path.insert(0, {str(Path(PEER).parent)!r});"
         f"from peer import Peer; time.sleep(0.5); Peer({can_bus.iface!r}).send(0x77, b'go')"]
    )
    ticking = threading.Thread(target=ticker)
    ticking.start()
    try:
        began = time.monotonic()
        result.append(device.receive())
        ended = time.monotonic()
    finally:
        stop.set()
        ticking.join()
        sender.wait(timeout=60)
    assert result == [(0x77, b"go")]
    assert ended - began > 0.2
    inside = [t for t in stamps if began + 0.05 < t < ended - 0.05]
    assert inside == [], f"{len(inside)} ticks ran while receive() waited"


def test_first_device_starts_one_worker_per_usable_cpu(can_bus):
    code = f"""
import os, drovik
def runtime_threads():
    names = [open(f"/proc/self/task/{{t}}/comm").read().strip() for t in os.listdir("/proc/self/task")]
    return names.count("drovik-rt")
before = runtime_threads()
first = drovik.CanDevice({can_bus.iface!r})
after_first = runtime_threads()
more = [drovik.CanDevice({can_bus.iface!r}) for _ in range(3)]
print(before, after_first, runtime_threads(), len(os.sched_getaffinity(0)))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    before, after_first, after_more, cpus = map(int, out.stdout.split())
    assert (before, after_first, after_more) == (0, cpus, cpus)


# Error frames as a controller's driver reports them (linux/can/error.h).
ERR_FLAG, ERR_TX_TIMEOUT, ERR_CRTL, ERR_BUSOFF, ERR_RESTARTED, ERR_CNT = 0x20000000, 0x1, 0x4, 0x40, 0x100, 0x200
CRTL_TX_PASSIVE = 0x20
BUS_TROUBLE = [
    # (identifier word, data, what bus_state() shows afterwards)
    (ERR_FLAG | ERR_CRTL | ERR_CNT, bytes([0, CRTL_TX_PASSIVE, 0, 0, 0, 0, 130, 5]),
     {"state": "passive", "error_frames": 1, "bus_off": 0, "restarts": 0, "tx_errors": 130, "rx_errors": 5}),
    (ERR_FLAG | ERR_BUSOFF | ERR_CNT, bytes([0, 0, 0, 0, 0, 0, 255, 9]),
     {"state": "bus-off", "error_frames": 2, "bus_off": 1, "restarts": 0, "tx_errors": 255, "rx_errors": 9}),
    # 0x201 also names a feedback frame and a data frame: it must become neither.
    (ERR_FLAG | ERR_RESTARTED | ERR_TX_TIMEOUT, bytes(8),
     {"state": "active", "error_frames": 3, "bus_off": 1, "restarts": 1, "tx_errors": 255, "rx_errors": 9}),
]
QUIET_BUS = {"state": "unknown", "error_frames": 0, "bus_off": 0, "restarts": 0, "tx_errors": None,
             "rx_errors": None, "rx_dropped": 0, "tx_failed": 0}


def bus_user(kind, iface, peer):
    """A CanDevice, CanDeviceNonBlocking or Motor whose socket hears the bus, and how to
    make it read what came (a blocking device reads only when asked)."""
    if kind == "blocking":
        device = drovik.CanDevice(iface)
        return device, lambda marker: device.receive() == marker
    if kind == "queued":
        device = drovik.CanDeviceNonBlocking(iface)
        wait_until_heard(lambda *frame: peer.send(*frame), lambda: device.receive_timeout(50))
        return device, lambda marker: device.receive_timeout(20_000) == marker
    motor = drovik.Motor(iface, 0x100)
    assert eventually(lambda: motor.broadcast() is None and peer.recv(timeout=0.05) is not None)
    peer.drain()
    return motor, lambda marker: True


@pytest.mark.parametrize("kind", ["blocking", "queued", "motor"])
def test_bus_state_follows_the_controllers_error_frames(can_bus, peer, fd2, kind):
    user, read = bus_user(kind, can_bus.iface, peer)
    feedback = user.add_device(0, 0x201, "speed") if kind == "motor" else None
    assert user.bus_state() == QUIET_BUS
    fd2.take()
    for n, (word, data, shown) in enumerate(BUS_TROUBLE):
        peer.send(word, data)
        marker = (0x7A, bytes([n]))
        peer.send(*marker)  # read after the error frame: the receive goes on past it
        assert read(marker)
        assert eventually(lambda: {k: user.bus_state()[k] for k in shown} == shown)
    assert list(user.bus_state()) == list(QUIET_BUS)
    if kind == "queued":
        assert user.try_receive() is None  # nothing of the error frames came through as data
    if kind == "motor":
        assert feedback.feedback_count() == 0
        assert feedback.get_watch_data() == {"position": 0.0, "speed": 0.0, "current": 0.0}
        assert "unmatched" not in fd2.take()


def test_rx_dropped_is_the_kernels_count_of_frames_a_full_buffer_lost(can_bus, peer):
    device = drovik.CanDevice(can_bus.iface)
    # receive() keeps the interpreter lock, so nothing may be sent while it waits: the
    # end marker must find room. Two markers a filtered witness hears show the flood
    # offered to the device; taking three frames then leaves room for the end.
    with Peer(can_bus.iface) as witness:
        witness.sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, struct.pack("=II", 0x302, 0x7FF))
        flood = 3000
        for word, data in [(0x300, n.to_bytes(2, "little")) for n in range(flood)] + [(0x302, b"1"), (0x302, b"2")]:
            while True:
                try:
                    peer.send(word, data)
                    break
                except OSError as error:  # the peer's own queue is full: it waits its turn
                    if error.errno != errno.ENOBUFS:
                        raise
                    time.sleep(0.001)
        assert witness.recv_many(2, timeout=DEADLINE) == [(0x302, b"1"), (0x302, b"2")]
    sent = flood + 2
    kept = 0
    for _ in range(3):
        assert device.receive() != (0x301, b"end")
        kept += 1
    peer.send(0x301, b"end")
    while device.receive() != (0x301, b"end"):
        kept += 1
    assert kept < flood, "the flood did not overfill the receive buffer"
    assert device.bus_state()["rx_dropped"] == sent - kept
