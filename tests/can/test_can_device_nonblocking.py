"""CanDeviceNonBlocking: the socket task, its queues and its lines on standard error."""

import errno
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import drovik
from waiting import eventually, first_fair
from peer import EFF_FLAG, pack, wait_until_heard
from payloads import Reentrant

U64_MAX = 2**64 - 1


def open_sockets():
    """Socket descriptors of this process (the runtime's own descriptors are no sockets)."""
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
        except FileNotFoundError:
            pass
    return count


@pytest.fixture
def device(can_bus, peer):
    dev = drovik.CanDeviceNonBlocking(can_bus.iface)
    wait_until_heard(peer.send, lambda: dev.receive_timeout(50))
    return dev


def test_unknown_interface_is_reported_and_then_closed(can_bus):
    code = """
import drovik, time
dev = drovik.CanDeviceNonBlocking("nosuchcan7")
deadline = time.monotonic() + 30
while True:
    try:
        dev.send(0x100, b"x")
    except OSError as e:
        print(e.args, e.errno)
        break
    assert time.monotonic() < deadline
    time.sleep(0.005)
print(dev.try_receive(), dev.receive_timeout(%d), dev.interface())
""" % U64_MAX
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["('channel closed',) None", "None None nosuchcan7"]
    assert out.stderr == "Failed to open CAN device nosuchcan7: Failed to open CAN Socket\n"


@pytest.mark.parametrize(
    "can_id, data, word, wire",
    [
        (0x100, [1, 2, 3], 0x100, b"\x01\x02\x03"),
        (0x100, bytearray(b"\x01"), 0x100, b"\x01"),
        (0x800, b"", EFF_FLAG | 0x800, b""),
        (0x1FFFFFFF, bytes(8), EFF_FLAG | 0x1FFFFFFF, bytes(8)),
    ],
)
def test_send_puts_the_exact_frame_on_the_wire(device, peer, can_id, data, word, wire):
    assert device.send(can_id, data) is None
    assert peer.recv(timeout=10) == (word, wire)


def test_frames_go_out_in_the_order_queued(device, peer):
    count = 150  # within what the peer's socket buffers while it does not read
    for i in range(count):
        device.send(0x200 + (i % 7), i.to_bytes(2, "little"))
    got = peer.recv_many(count, timeout=30)
    assert [int.from_bytes(data, "little") for _, data in got] == list(range(count))


@pytest.mark.parametrize(
    "can_id, size, text",
    [
        (0x100, 9, "Payload is larger than CAN maximum of 8 bytes"),
        (0x20000000, 0, "CAN ID too large"),
    ],
)
def test_invalid_frames_are_reported_by_the_task(device, peer, fd2, can_id, size, text):
    assert device.send(can_id, bytes(size)) is None
    device.send(0x42, b"after")
    assert peer.recv(timeout=10) == (0x42, b"after")  # the task went on
    assert fd2.shows(f"Failed to send CAN frame: {text}\n")


def test_argument_errors(device):
    with pytest.raises(TypeError, match="^argument 'data': Can't extract `str` to `Vec`$"):
        device.send(0x100, "abc")
    with pytest.raises(OverflowError):
        device.send(-1, b"")
    with pytest.raises(OverflowError):
        device.receive_timeout(-1)
    with pytest.raises(TypeError):
        device.receive_timeout(None)


def test_empty_queue_gives_none_without_waiting(device):
    assert device.receive_timeout(0) is None
    assert device.try_receive() is None


def test_receive_timeout_returns_a_queued_frame_even_with_zero(device, peer):
    peer.send(0x10, b"a")
    peer.send(EFF_FLAG | 0x123, b"b")
    assert device.receive_timeout(10_000) == (0x10, b"a")
    # The second frame is queued by now or soon; a zero time-out still finds it once queued.
    got = []
    assert eventually(lambda: got.append(device.receive_timeout(0)) or got[-1] is not None)
    assert got[-1] == (0x123, b"b")


def test_frames_nobody_reads_are_kept_in_order(device, peer):
    count = 5000
    for i in range(count):
        peer.send(0x300, i.to_bytes(4, "little"))
        if i % 5 == 4:
            time.sleep(0.001)  # a node's pace: the socket buffer itself must never overflow here
    received = []
    while len(received) < count:
        frame = device.receive_timeout(10_000)
        assert frame is not None, f"only {len(received)} of {count} frames came back"
        received.append(int.from_bytes(frame[1], "little"))
    assert received == list(range(count))


def test_overlapping_calls_on_one_object_are_allowed(device, peer):
    device.send(0x1, Reentrant(lambda: device.send(0x2, b"")))
    assert [peer.recv(timeout=10), peer.recv(timeout=10)] == [(0x2, b""), (0x1, b"\x01")]
    assert device.interface() == device.interface()


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_dropped_devices_and_motors_close_their_sockets_on_a_quiet_bus(can_bus):
    # In its own process, on a bus nobody sends on: the sockets must close
    # without a frame coming to end their tasks.
    code = f"""
import gc, sys
sys.path[:0] = {[str(Path(__file__).parent), str(Path(__file__).parents[1] / "support")]!r}
import drovik
from test_can_device_nonblocking import open_descriptors
from waiting import eventually
drovik.CanDeviceNonBlocking({can_bus.iface!r}).try_receive()  # the runtime's own descriptors
before = open_descriptors()
for _ in range(100):
    d = drovik.CanDeviceNonBlocking({can_bus.iface!r})
    del d
for _ in range(50):
    m = drovik.Motor({can_bus.iface!r}, 0x100)
    del m
gc.collect()
print(eventually(lambda: open_descriptors() <= before), open_descriptors() - before)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split()[0] == "True", out.stdout


def burst(device, peer, style, count):
    """Several socket buffers' worth in runs of 50 sent as fast as the socket takes
    them, 2 ms apart: more than the socket holds while nobody reads it for a lease.
    None when the kernel counted frames it dropped meanwhile."""
    dropped = device.bus_state()["rx_dropped"]
    frames = [pack(0x300, i.to_bytes(4, "little")) for i in range(count)]

    def send():
        for i, frame in enumerate(frames):
            peer.sock.send(frame)
            if i % 50 == 49:
                time.sleep(0.002)

    sender = threading.Thread(target=send)
    received = []
    sender.start()
    if style == "poll_every_2ms":
        while sender.is_alive():
            frame = device.try_receive()
            if frame is not None:
                received.append(frame)
            time.sleep(0.002)
    sender.join()
    while len(received) < count and (frame := device.receive_timeout(2_000)) is not None:
        received.append(frame)
    if device.bus_state()["rx_dropped"] != dropped:
        return None
    return [int.from_bytes(data, "little") for _, data in received]


@pytest.mark.parametrize("style", ["read_late", "poll_every_2ms"])
def test_a_burst_is_kept_whole(device, peer, style):
    # A machine that keeps the socket's reader off every CPU for a socket's worth
    # makes the kernel drop frames, and counts them; the module losing none of
    # its own is what this checks, so a run with counted drops goes again.
    count = 2000
    received = first_fair(lambda: burst(device, peer, style, count))
    assert received is not None, "the kernel dropped frames in every run"
    assert received == list(range(count))


def test_a_receive_re_entered_from_a_signal_handler_raises_at_once(can_bus):
    code = f"""
import signal, drovik
dev = drovik.CanDeviceNonBlocking({can_bus.iface!r})
seen = []
def handler(signo, frame):
    for call in (dev.try_receive, lambda: dev.receive_timeout(0)):
        try:
            call()
        except RuntimeError as error:
            seen.append(str(error))
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.2)
print(dev.receive_timeout(1000), seen)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "None ['Already borrowed', 'Already borrowed']"


def test_receive_error_is_reported_and_the_task_goes_on(device, can_bus, peer, faults, fd2):
    platform = faults.require("link_down")
    platform.link_down(can_bus.iface)
    try:
        assert fd2.shows("Failed to receive CAN frame: Network is down (os error 100)\n")
    finally:
        platform.link_up(can_bus.iface)
    try:
        peer.send(0x55, b"up")
    except OSError as owed:  # the peer's socket owes the link-down error too, once
        assert owed.errno == errno.ENETDOWN
        peer.send(0x55, b"up")
    assert device.receive_timeout(20_000) == (0x55, b"up")
