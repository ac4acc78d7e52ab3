"""Bad input over the bus: every argument a send takes, every frame a receive or a
feedback decoder can meet, every mode text and interface name. Each gives its
specified result or a clear exception, and the object stays usable."""

import math
import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import drovik
from claims import Claims
from peer import EFF_FLAG, wait_until_heard
from waiting import eventually

# Objects are built once per test and reused across examples on purpose: each
# example must leave them usable for the next.
EXAMPLES = settings(max_examples=40, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])
MAX_ID = 0x1FFFFFFF
MODES = ("current", "speed", "position")
BROADCAST, FEEDBACK = 0x100, 0x281


@pytest.fixture
def device(can_bus):
    return drovik.CanDevice(can_bus.iface)


def still_sends(device, peer):
    device.send(0x7A, b"alive")
    assert peer.recv(timeout=10) == (0x7A, b"alive")


def expected_send(can_id, data):
    """The error type a send must raise, or the frame it must put on the wire."""
    if not 0 <= can_id <= 0xFFFFFFFF or any(not 0 <= b <= 0xFF for b in data):
        return OverflowError
    if len(data) > 8 or can_id > MAX_ID:
        return OSError
    return (can_id | EFF_FLAG if can_id > 0x7FF else can_id), bytes(data)


def check_send(device, peer, can_id, data, items):
    expected = expected_send(can_id, items)
    if isinstance(expected, type):
        with pytest.raises(expected):
            device.send(can_id, data)
    else:
        device.send(can_id, data)
        assert peer.recv(timeout=10) == expected
    still_sends(device, peer)


IDS = st.one_of(st.integers(0, 0x7FF), st.integers(0, MAX_ID + 2), st.integers(-(2**70), 2**70))


@EXAMPLES
@given(
    can_id=IDS,
    items=st.lists(st.one_of(st.integers(0, 255), st.integers(-(2**64), 2**64)), max_size=10),
    kind=st.sampled_from([list, tuple]),
)
def test_send_any_integers(device, peer, can_id, items, kind):
    check_send(device, peer, can_id, kind(items), items)


@EXAMPLES
@given(can_id=IDS, data=st.binary(max_size=10), kind=st.sampled_from([bytes, bytearray, memoryview]))
def test_send_any_bytes_like(device, peer, can_id, data, kind):
    check_send(device, peer, can_id, kind(data), list(data))


@EXAMPLES
@given(
    items=st.lists(st.integers(0, 255), max_size=8),
    length=st.one_of(st.integers(0, 2**63 - 1), st.sampled_from([ValueError, OverflowError])),
    fail_at=st.one_of(st.none(), st.integers(0, 9)),
    grow=st.booleans(),
)
def test_send_sequences_that_lie(device, peer, items, length, fail_at, grow):
    seq = Claims(items, length, fail_at, grow)
    readable = seq.readable()
    if readable is None:
        with pytest.raises(LookupError, match="item refused"):
            device.send(0x55, seq)
    elif len(readable) > 8:
        with pytest.raises(OSError, match="^Payload is larger than CAN maximum of 8 bytes$"):
            device.send(0x55, seq)
    else:
        device.send(0x55, seq)
        assert peer.recv(timeout=10) == (0x55, bytes(readable))
    still_sends(device, peer)


@pytest.fixture
def receivers(can_bus, peer):
    """A blocking and a non-blocking device, both known to hear the bus."""
    blocking = drovik.CanDevice(can_bus.iface)
    nonblocking = drovik.CanDeviceNonBlocking(can_bus.iface)
    wait_until_heard(peer.send, lambda: nonblocking.receive_timeout(50))
    peer.send(0x7C, b"")  # both drained up to this marker
    while blocking.receive() != (0x7C, b""):
        pass
    while (got := nonblocking.receive_timeout(10_000)) != (0x7C, b""):
        assert got is not None
    return blocking, nonblocking


@EXAMPLES
@given(
    frame=st.one_of(st.tuples(st.integers(0, 0x7FF), st.just(0)), st.tuples(st.integers(0, MAX_ID), st.just(EFF_FLAG))),
    data=st.binary(max_size=8),
)
def test_receive_any_frame(receivers, peer, frame, data):
    blocking, nonblocking = receivers
    can_id, flag = frame
    peer.send(can_id | flag, data)
    assert blocking.receive() == (can_id, data)
    assert nonblocking.receive_timeout(10_000) == (can_id, data)


@pytest.fixture
def motor(heard_motor):
    m = heard_motor(BROADCAST)
    m.add_device(0, FEEDBACK, "speed")
    return m


def decoded(payload):
    position, speed, current = struct.unpack("<fhh", payload)
    return position, float(struct.unpack("f", struct.pack("f", speed / 10.0))[0]), \
        float(struct.unpack("f", struct.pack("f", current / 100.0))[0])


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


@EXAMPLES
@given(data=st.binary(max_size=8), other_id=st.booleans())
def test_feedback_of_every_length_and_bit_pattern(motor, peer, fd2, data, other_id):
    before = motor.get_watch_data(0)
    can_id = 0x3F0 if other_id else FEEDBACK
    peer.send(can_id, data)
    if len(data) != 8:
        assert fd2.shows(f"Warning: ignoring CAN frame 0x{can_id:X} with unexpected length {len(data)}\n")
        assert all(map(same, motor.get_watch_data(0).values(), before.values()))  # an earlier example may leave NaN
        return
    if other_id:
        # Not ours: a marker frame of ours after it shows it has been passed over.
        peer.send(FEEDBACK, struct.pack("<fhh", 7.0, 1, 1))
        assert eventually(lambda: motor.get_watch_data(0)["position"] == 7.0)
        return
    want = decoded(data)
    assert eventually(lambda: all(map(same, motor.get_watch_data(0).values(), want)))
    motor.broadcast()
    peer.drain(0.05)


@EXAMPLES
@given(text=st.text(max_size=12) | st.sampled_from(["SPEED", "Position", "cuRRent", "speed ", "İspeed"]))
def test_any_mode_text(motor, text):
    count = int(repr(motor).rsplit("devices=", 1)[1].rstrip(")"))
    try:
        lowered = text.lower()
        text.encode("utf-8")
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            motor.add_device(1, 0x300, text)
        assert repr(motor).endswith(f"devices={count})")
        return
    if lowered in MODES:
        device = motor.add_device(1, 0x300, text)
        device.set_target(1.0)
        assert repr(motor).endswith(f"devices={count + 1})")
    else:
        with pytest.raises(ValueError) as raised:
            motor.add_device(1, 0x300, text)
        assert str(raised.value) == f"unknown mode '{lowered}', expected 'current', 'speed', or 'position'"
        assert repr(motor).endswith(f"devices={count})")
    motor.broadcast()


BAD_NAMES = st.one_of(
    st.text(min_size=1, max_size=8).map(lambda t: "v\0" + t),
    st.integers(4096, 5000).map(lambda n: "v" * n),
    st.text(max_size=4).map(lambda t: "vcan\ud800" + t),
    st.text(alphabet=st.characters(blacklist_characters="\0"), min_size=1, max_size=15).map(lambda t: "nosuch" + t),
)


@settings(max_examples=30, deadline=None, database=None)
@given(name=BAD_NAMES)
def test_bad_interface_names(can_bus, name):
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        for make in (drovik.CanDevice, drovik.CanDeviceNonBlocking):
            with pytest.raises(UnicodeEncodeError):
                make(name)
        with pytest.raises(UnicodeEncodeError):
            drovik.Motor(name, BROADCAST)
        return
    with pytest.raises(OSError, match="^Failed to open CAN Socket$"):
        drovik.CanDevice(name)
