"""Motor and Device end to end: broadcast frames sniffed by a stdlib peer,
feedback frames from the peer, and a closed loop against the simulated drivers."""

import errno
import math
import os
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest

import drovik
import vbus_control
from waiting import eventually, wait_until
from peer import EFF_FLAG, RTR_FLAG, Peer

SIMULATOR = Path(__file__).resolve().parents[2] / "testing"
BROADCAST = 0x100


@pytest.fixture
def motor(can_bus, peer):
    """A Motor whose CAN device already hears the bus (its socket opens in the background)."""
    m = drovik.Motor(can_bus.iface, BROADCAST)
    listening = drovik.CanDeviceNonBlocking(can_bus.iface)
    # Once a broadcast reaches the peer, the motor's socket is open.
    assert eventually(lambda: m.broadcast() is None and peer.recv(timeout=0.05) is not None)
    while peer.recv(timeout=0.1) is not None:
        pass
    del listening
    return m


def broadcast_bytes(motor, peer):
    motor.broadcast()
    frame = peer.recv(timeout=10)
    assert frame is not None and frame[0] == BROADCAST
    return frame[1]


@pytest.mark.parametrize(
    "devices, expected",
    [
        ([], "00 00 00 00 00 00 00 00"),
        ([(0, "speed", 10.0), (1, "speed", -5.0)], "64 00 ce ff 00 00 00 00"),
        ([(0, "speed", 10.0), (2, "speed", -5.0)], "64 00 00 00 ce ff 00 00"),
        ([(0, "current", 0.53), (1, "position", 1.05), (3, "current", 327.68)], "34 00 68 00 00 00 ff 7f"),
        ([(1, "current", 1.0), (1, "current", 2.0)], "00 00 c8 00 00 00 00 00"),
        ([(9, "position", -327.69)], "00 00 00 00 00 00 00 80"),
        ([(0, "speed", math.inf), (1, "current", math.nan), (2, "speed", 1e39)], "ff 7f 00 00 ff 7f 00 00"),
    ],
)
def test_broadcast_frame_bytes(motor, peer, devices, expected):
    for n, (slot, mode, target) in enumerate(devices):
        motor.add_device(slot, 0x201 + n, mode).set_target(target)
    assert broadcast_bytes(motor, peer).hex(" ") == expected


def test_set_target_by_slot_changes_the_first_device_only(motor, peer):
    first = motor.add_device(1, 0x201, "current")
    second = motor.add_device(1, 0x202, "current")
    first.set_target(1.0)
    second.set_target(2.0)
    assert motor.set_target(1, 3.0) is None
    assert (first.get_target(), second.get_target()) == (3.0, 2.0)
    assert broadcast_bytes(motor, peer)[2:4] == struct.pack("<h", 200)  # the later device still wins
    assert motor.set_target(2, 5.0) is None  # nobody there: nothing changes


def test_broadcast_identifier_rules(can_bus, peer):
    extended = drovik.Motor(can_bus.iface, 0x800)
    assert eventually(lambda: extended.broadcast() is None and peer.recv(timeout=0.05) == (EFF_FLAG | 0x800, bytes(8)))


def test_broadcast_identifier_too_large_is_reported_by_the_task(can_bus, fd2):
    motor = drovik.Motor(can_bus.iface, 0x20000000)
    seen = []
    assert eventually(lambda: motor.broadcast() is None and (seen.append(fd2.take()) or
                      "Failed to send CAN frame: CAN ID too large\n" in "".join(seen)))
    # Every refusal reported counts as a frame not sent.
    line = "Failed to send CAN frame: CAN ID too large\n"
    assert eventually(lambda: seen.append(fd2.take()) or motor.bus_state()["tx_failed"] == "".join(seen).count(line))


def feedback(position, speed_counts, current_counts):
    return struct.pack("<fhh", position, speed_counts, current_counts)


@pytest.mark.parametrize(
    "payload, expected",
    [
        (bytes.fromhex("0000803f64009cff"), {"position": 1.0, "speed": 10.0, "current": -1.0}),
        (
            bytes.fromhex("db0f494001000100"),
            {"position": 3.1415927410125732, "speed": 0.10000000149011612, "current": 0.009999999776482582},
        ),
        (
            bytes.fromhex("00000000ff7f0080"),
            {"position": 0.0, "speed": 3276.699951171875, "current": -327.67999267578125},
        ),
    ],
)
@pytest.mark.parametrize("word, feedback_id", [(0x201, 0x201), (EFF_FLAG | 0x801, 0x801), (EFF_FLAG | 0x1FFFFFFF, 0x1FFFFFFF)])
def test_feedback_reaches_the_device(motor, peer, payload, expected, word, feedback_id):
    device = motor.add_device(0, feedback_id, "speed")
    assert device.get_watch_data() == {"position": 0.0, "speed": 0.0, "current": 0.0}
    peer.send(word, payload)
    assert eventually(lambda: device.get_watch_data() == expected)
    assert list(device.get_watch_data()) == ["position", "speed", "current"]
    assert motor.get_watch_data(0) == expected


@pytest.mark.parametrize("length", [7, 0, 3])
def test_wrong_length_is_warned_and_dropped(motor, peer, fd2, length):
    device = motor.add_device(0, 0x201, "speed")
    peer.send(0x201, bytes(range(1, length + 1)))
    assert fd2.shows(f"Warning: ignoring CAN frame 0x201 with unexpected length {length}\n")
    assert device.get_watch_data() == {"position": 0.0, "speed": 0.0, "current": 0.0}


def test_unclaimed_feedback_is_reported_until_a_device_claims_it(motor, peer, fd2):
    payload = bytes.fromhex("0000803f64009cff")
    peer.send(0x2AB, payload)
    assert fd2.shows("[Motor] unmatched feedback frame: id=0x2AB, data=[0, 0, 128, 63, 100, 0, 156, 255]\n")
    device = motor.add_device(0, 0x2AB, "speed")
    peer.send(0x2AB, payload)
    assert eventually(lambda: device.get_watch_data()["speed"] == 10.0)


def test_a_burst_read_by_a_caller_is_taken_once_each_in_bus_order(motor, peer, fd2):
    """More frames than one read takes at a time, waiting when the device's reader
    comes: every frame is handled once, in the order the bus carried it."""
    device = motor.add_device(0, 0x201, "speed")
    device.get_watch_data()  # the socket is lent to this thread's reads from here on
    count = 40
    for i in range(count):
        peer.send(0x2AB, bytes([i]) + bytes(7))
        peer.send(0x201, feedback(float(i), 0, 0))
    expected = "".join(f"[Motor] unmatched feedback frame: id=0x2AB, data=[{i}, 0, 0, 0, 0, 0, 0, 0]\n"
                       for i in range(count))
    assert eventually(lambda: device.get_watch_data()["position"] == count - 1)
    assert fd2.shows(expected)
    assert "unmatched" not in fd2.take()


def sent_on(iface):
    return sum(stats.sent for stats in vbus_control.sockets(iface))


def test_the_task_takes_the_socket_back_while_sends_keep_queuing(emulation, motor, peer, fd2):
    """A reader that stops leaves the socket to the task within two leases, even
    while queued sends, each sooner than a lease, keep the task busy."""
    device = motor.add_device(0, 0x201, "speed")
    device.get_watch_data()  # the socket is lent to this thread's reads from here on
    count = 1000  # more than the socket holds: only a reader keeps them all
    sent_before = sent_on(emulation.iface)
    for i in range(count):
        peer.send(0x2AB, i.to_bytes(2, "little") + bytes(6))
        if i % 10 == 9:
            vbus_control.fail_writes(emulation.iface, errno.EAGAIN, 1)
            motor.broadcast()  # refused once, so it queues for the task
            # The refusal is armed for any writer on the bus: the peer's next send
            # would take it if the task had not written this broadcast yet.
            broadcasts = (i + 1) // 10
            wait_until(lambda: sent_on(emulation.iface) >= sent_before + i + 1 + broadcasts)
            time.sleep(0.002)
    expected = "".join(f"[Motor] unmatched feedback frame: id=0x2AB, data=[{i & 0xFF}, {i >> 8}, 0, 0, 0, 0, 0, 0]\n"
                       for i in range(count))
    assert fd2.shows(expected)


def test_a_feedback_id_matches_frames_of_its_own_format_only(motor, peer, fd2):
    """0x201 names a standard frame: an extended frame 0x201 is somebody else's."""
    device = motor.add_device(0, 0x201, "speed")
    peer.send(EFF_FLAG | 0x201, feedback(5.0, 0, 0))
    assert fd2.shows("[Motor] unmatched feedback frame: id=0x201, data=[0, 0, 160, 64, 0, 0, 0, 0]\n")
    assert device.get_watch_data()["position"] == 0.0
    peer.send(0x201, feedback(6.0, 0, 0))
    assert eventually(lambda: device.get_watch_data()["position"] == 6.0)


def test_remote_requests_are_not_feedback(motor, peer, fd2):
    first = motor.add_device(0, 0x201, "speed")
    second = motor.add_device(1, 0x202, "speed")
    peer.send(0x201, feedback(2.0, 0, 0))
    assert eventually(lambda: first.get_watch_data()["position"] == 2.0)
    fd2.take()
    peer.send(RTR_FLAG | 0x201, bytes(8))  # a request with length 8 carries no data
    peer.send(0x202, feedback(3.0, 0, 0))  # handled after the request
    assert eventually(lambda: second.get_watch_data()["position"] == 3.0)
    assert first.get_watch_data()["position"] == 2.0
    assert fd2.take() == ""


def test_feedback_age_grows_while_the_driver_is_silent(motor, peer):
    device = motor.add_device(0, 0x201, "speed")
    assert device.feedback_age() is None and device.feedback_count() == 0
    for n in range(1, 4):
        sent = time.monotonic()  # the kernel receives it after this
        peer.send(0x201, feedback(float(n), 0, 0))
        assert eventually(lambda: device.feedback_count() == n)
        seen = time.monotonic()  # and before this
        silence = 0.02 * n
        assert eventually(lambda: time.monotonic() - seen >= silence)
        before = time.monotonic()
        age = device.feedback_age()
        after = time.monotonic()
        assert before - seen <= age <= after - sent
        assert age >= silence - 0.001
        assert device.get_watch_data()["position"] == float(n)


WAITING_READER = r"""
import sys, drovik
motor = drovik.Motor(sys.argv[1], 0x100)
device = motor.add_device(0, 0x201, "speed")
for line in sys.stdin:
    if line.strip() == "broadcast":
        motor.broadcast()
        continue
    print(device.get_watch_data()["position"], device.feedback_age(), device.feedback_count(), flush=True)
"""


def process_state(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def test_feedback_that_waited_in_the_socket_is_as_old_as_it_is(can_bus, peer):
    """The reading process is stopped while the frame arrives, so the frame waits in
    its socket; its age counts from the kernel's receipt, not from the read."""
    reader = subprocess.Popen([sys.executable, "-c", WAITING_READER, can_bus.iface], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        def heard():
            reader.stdin.write("broadcast\n")
            reader.stdin.flush()
            return peer.recv(timeout=0.05) is not None
        assert eventually(heard)
        peer.drain()
        os.kill(reader.pid, signal.SIGSTOP)
        assert eventually(lambda: process_state(reader.pid) == "T")
        wait = 0.05
        with Peer(can_bus.iface) as witness:
            peer.send(0x201, feedback(7.0, 0, 0))
            # The frame reaches the sockets a while after send() returns (the emulation's
            # hub forwards it, the kernel may leave it to a softirq): the wait counts from
            # another socket's receipt.
            next(witness.feedback(0x201))
            arrived = time.monotonic()
        assert eventually(lambda: time.monotonic() - arrived >= wait, interval=0.001)
        os.kill(reader.pid, signal.SIGCONT)
        reader.stdin.write("read\n")
        reader.stdin.flush()
        position, age, count = reader.stdout.readline().split()
        assert (float(position), int(count)) == (7.0, 1)
        # An age counted from the read would be well under a millisecond; the reader's
        # socket may get the frame a little after the witness's.
        assert float(age) >= wait / 2
    finally:
        os.kill(reader.pid, signal.SIGCONT)
        reader.stdin.close()
        assert reader.wait(timeout=60) == 0


def test_only_the_first_device_with_a_feedback_id_receives(motor, peer):
    first = motor.add_device(0, 0x201, "speed")
    second = motor.add_device(1, 0x201, "speed")
    peer.send(0x201, feedback(2.0, 0, 0))
    assert eventually(lambda: first.get_watch_data()["position"] == 2.0)
    peer.send(0x201, feedback(3.0, 0, 0))
    assert eventually(lambda: first.get_watch_data()["position"] == 3.0)
    assert second.get_watch_data() == {"position": 0.0, "speed": 0.0, "current": 0.0}


def test_slot_beyond_the_frame_takes_the_last_one(motor):
    device = motor.add_device(9, 0x203, "position")
    assert (device.slot_index, device.feedback_id) == (3, 0x203)
    assert motor.get_watch_data(9) is None
    assert motor.get_watch_data(3) == {"position": 0.0, "speed": 0.0, "current": 0.0}
    assert motor.get_watch_data(2) is None


@pytest.mark.parametrize(
    "target, text",
    [(10.0, "10.0000"), (-5.0, "-5.0000"), (0.00004, "0.0000"), (1e39, "inf"), (-1e39, "-inf"), (math.nan, "NaN")],
)
def test_device_repr(motor, target, text):
    device = motor.add_device(0, 513, "speed")
    device.set_target(target)
    assert repr(device) == f"Device(slot=0, feedback_id=0x201, target={text})"


# The target and the stop target take a value alike; a stop target is also cleared
# again here, so that releasing the motor sends no stop frame into the next test.
TARGETS = [("set_target", "get_target"), ("set_stop_target", "get_stop_target")]


@pytest.mark.parametrize("setter, getter", TARGETS)
def test_targets_are_single_precision(motor, setter, getter):
    device = motor.add_device(0, 0x201, "current")
    getattr(device, setter)(0.1)
    assert getattr(device, getter)() == 0.10000000149011612
    getattr(device, setter)(value=1e39)
    assert getattr(device, getter)() == math.inf
    device.set_stop_target(None)


def test_a_stop_target_is_none_until_set_and_none_clears_it(motor):
    device = motor.add_device(0, 0x201, "speed")
    assert device.get_stop_target() is None
    device.set_stop_target(-2)
    assert (device.get_stop_target(), device.get_target()) == (-2.0, 0.0)
    device.set_stop_target(None)
    assert device.get_stop_target() is None


def test_motor_repr_and_properties(can_bus):
    motor = drovik.Motor(interface=can_bus.iface, broadcast_id=256)
    assert repr(motor) == "Motor(broadcast_id=0x100, devices=0)"
    motor.add_device(0, 0x201, "speed")
    motor.add_device(0, 0x201, "speed")
    assert repr(motor) == "Motor(broadcast_id=0x100, devices=2)"
    assert motor.broadcast_id == 256
    with pytest.raises(AttributeError):
        motor.broadcast_id = 1


# A target of 1.0 is 10 counts in speed mode and 100 in the others.
@pytest.mark.parametrize("text, counts", [("POSITION", 100), ("Current", 100), ("sPeEd", 10), ("SPEED", 10)])
def test_mode_texts_are_case_insensitive(motor, peer, text, counts):
    motor.add_device(0, 0x201, text).set_target(1.0)
    assert broadcast_bytes(motor, peer)[0:2] == struct.pack("<h", counts)


@pytest.mark.parametrize(
    "text, shown",
    [("Torque", "torque"), ("speed ", "speed "), ("", ""), ("SPEEDİ", "speedi̇")],
)
def test_unknown_mode(motor, text, shown):
    with pytest.raises(ValueError) as raised:
        motor.add_device(0, 0x201, text)
    assert str(raised.value) == f"unknown mode '{shown}', expected 'current', 'speed', or 'position'"
    assert repr(motor).endswith("devices=0)")


@pytest.mark.parametrize(
    "args, error, fragment",
    [
        ((256, 0x201, "speed"), OverflowError, None),
        ((-1, 0x201, "nope"), OverflowError, None),  # slot before mode
        (("0", 0x201, "nope"), TypeError, "argument 'slot_index'"),
        ((0, -1, "speed"), OverflowError, None),
        ((0, 0x201, 5), TypeError, "argument 'mode'"),
    ],
)
def test_add_device_argument_errors(motor, args, error, fragment):
    with pytest.raises(error) as raised:
        motor.add_device(*args)
    if fragment:
        assert str(raised.value).startswith(fragment)
    assert repr(motor).endswith("devices=0)")


@pytest.mark.parametrize("setter, getter", TARGETS)
def test_set_target_needs_a_real_number(motor, setter, getter):
    device = motor.add_device(0, 0x201, "speed")
    getattr(device, setter)(2)
    for bad in ("3", b"3", [3.0]):
        with pytest.raises(TypeError, match="^argument 'value': "):
            getattr(device, setter)(bad)
    assert getattr(device, getter)() == 2.0
    device.set_stop_target(None)


def test_device_is_not_constructible():
    with pytest.raises(TypeError):
        drovik.Device()


def test_device_outlives_its_motor(can_bus, peer, fd2):
    motor = drovik.Motor(can_bus.iface, BROADCAST)
    device = motor.add_device(0, 0x201, "speed")
    assert eventually(lambda: peer.send(0x201, feedback(4.0, 0, 0)) or device.get_watch_data()["position"] == 4.0)
    del motor
    device.set_target(1.5)
    assert device.get_target() == 1.5
    peer.send(0x201, feedback(5.0, 0, 0))
    peer.send(0x2FF, feedback(5.0, 0, 0))
    # Another socket on the bus proves both frames went by.
    with Peer(can_bus.iface) as witness:
        peer.send(0x3FF, b"")
        assert witness.recv(timeout=10) == (0x3FF, b"")
    assert device.get_watch_data()["position"] == 4.0
    assert "unmatched" not in fd2.take()


def test_motor_on_a_missing_interface(can_bus, fd2):
    motor = drovik.Motor("nosuchcan3", BROADCAST)
    assert fd2.shows("Failed to open CAN device nosuchcan3: Failed to open CAN Socket\n")
    errors = []

    def broadcast_fails():
        try:
            motor.broadcast()
        except OSError as e:
            errors.append(e.args)
            return True
        return False

    assert eventually(broadcast_fails)
    assert errors == [("channel closed",)]
    assert motor.get_watch_data(0) is None


def test_closed_loop_against_the_simulated_drivers(can_bus):
    sim = subprocess.Popen(
        [sys.executable, "-m", "motor_sim", "--iface", can_bus.iface, "--broadcast-id", hex(BROADCAST),
         "--driver", "slot=0,id=0x201,mode=speed", "--driver", "slot=1,id=0x202,mode=position", "--rate", "200"],
        cwd=SIMULATOR, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        assert sim.stdout.readline().startswith("motor_sim: ready")
        motor = drovik.Motor(can_bus.iface, BROADCAST)
        wheel = motor.add_device(0, 0x201, "speed")
        arm = motor.add_device(1, 0x202, "position")
        wheel.set_target(12.5)
        arm.set_target(-1.25)

        def settled():
            motor.broadcast()
            data = wheel.get_watch_data(), arm.get_watch_data()
            return abs(data[0]["speed"] - 12.5) < 0.15 and abs(data[1]["position"] + 1.25) < 0.02

        assert eventually(settled, timeout=60, interval=0.01)
    finally:
        sim.terminate()
        sim.wait(timeout=30)
