"""Frame and payload layouts, driver options: no bus needed."""

import math

import pytest

from motor_sim import DriverConfig, Mode, MotorSimulator
from motor_sim import can_frame, payload


@pytest.mark.parametrize(
    "position, speed, current, expected",
    [
        (1.0, 10.0, -1.0, "00 00 80 3F 64 00 9C FF"),
        (math.pi, 0.1, 0.01, "DB 0F 49 40 01 00 01 00"),
        (0.0, 3276.7, -327.68, "00 00 00 00 FF 7F 00 80"),
        (-2.0, -0.14, -0.026, "00 00 00 C0 FF FF FD FF"),
        (0.0, 5000.0, 400.0, "00 00 00 00 FF 7F FF 7F"),  # saturates, never wraps
        (0.0, -5000.0, -1e9, "00 00 00 00 00 80 00 80"),
        (-0.0, 3276.749, 327.674, "00 00 00 80 FF 7F FF 7F"),
    ],
)
def test_feedback_encoding(position, speed, current, expected):
    assert payload.encode_feedback(position, speed, current) == bytes.fromhex(expected)


@pytest.mark.parametrize(
    "data, counts",
    [
        ("64 00 CE FF 00 00 00 00", (100, -50, 0, 0)),
        ("64 00 00 00 CE FF 00 00", (100, 0, -50, 0)),
        ("00 80 FF 7F 01 00 FF FF", (-32768, 32767, 1, -1)),
    ],
)
def test_broadcast_decoding(data, counts):
    assert payload.decode_broadcast(bytes.fromhex(data)) == counts


@pytest.mark.parametrize(
    "count, mode, target",
    [
        (100, Mode.SPEED, 10.0),
        (-50, Mode.SPEED, -5.0),
        (52, Mode.CURRENT, 0.52),
        (314, Mode.POSITION, 3.14),
        (-32768, Mode.POSITION, -327.68),
        (32767, Mode.SPEED, 3276.7),
    ],
)
def test_targets_from_counts(count, mode, target):
    assert payload.target_of(count, mode) == target


def kernel_frame(word, length, data):
    """struct can_frame byte by byte (little-endian host): word, length, 3 pad bytes, 8 data bytes."""
    return word.to_bytes(4, "little") + bytes([length, 0, 0, 0]) + data.ljust(8, b"\0")


@pytest.mark.parametrize(
    "can_id, word", [(0x100, 0x100), (0x7FF, 0x7FF), (0x800, 0x80000800), (0x1FFFFFFF, 0x9FFFFFFF)]
)
def test_frames_above_0x7ff_are_extended(can_id, word):
    raw = can_frame.pack(can_id, b"\x01\x02")
    assert raw == kernel_frame(word, 2, b"\x01\x02")
    frame = can_frame.unpack(raw)
    assert (frame.can_id, frame.data) == (can_id, b"\x01\x02")


@pytest.mark.parametrize("can_id, data", [(0x20000000, b""), (-1, b""), (0x100, bytes(9))])
def test_unsendable_frames_are_refused(can_id, data):
    with pytest.raises(ValueError):
        can_frame.pack(can_id, data)


def test_received_flags_are_reported_not_kept_in_the_identifier():
    frame = can_frame.unpack(kernel_frame(0x40000100, 8, bytes(8)))
    assert (frame.can_id, frame.remote, frame.error) == (0x100, True, False)
    frame = can_frame.unpack(kernel_frame(0x20000004, 8, bytes(8)))
    assert frame.error


@pytest.mark.parametrize(
    "text, slot, feedback_id, mode",
    [
        ("slot=0,id=0x201,mode=speed", 0, 0x201, Mode.SPEED),
        ("mode=POSITION,slot=3,id=513", 3, 513, Mode.POSITION),
        ("slot = 1, id = 0x18FF0201, mode = current", 1, 0x18FF0201, Mode.CURRENT),
    ],
)
def test_driver_options(text, slot, feedback_id, mode):
    assert DriverConfig.parse(text) == DriverConfig(slot, feedback_id, mode)


@pytest.mark.parametrize(
    "text",
    [
        "slot=4,id=0x201,mode=speed",
        "slot=-1,id=0x201,mode=speed",
        "slot=0,id=0x201,mode=torque",
        "slot=0,id=0x20000000,mode=speed",
        "slot=0,mode=speed",
        "slot=0,id=0x201,mode=speed,rate=5",
        "slot=0,slot=1,id=0x201,mode=speed",
        "slot=x,id=0x201,mode=speed",
        "",
    ],
)
def test_bad_driver_options(text):
    with pytest.raises(ValueError):
        DriverConfig.parse(text)


SPEED_DRIVER = DriverConfig(0, 0x201, Mode.SPEED)


@pytest.mark.parametrize(
    "drivers, broadcast_id, rate",
    [
        ([], 0x100, 1000.0),
        ([SPEED_DRIVER] * 5, 0x100, 1000.0),
        ([SPEED_DRIVER], 0x20000000, 1000.0),
        ([SPEED_DRIVER], 0x100, -1.0),
        ([SPEED_DRIVER], 0x100, math.nan),
    ],
)
def test_bad_simulator_settings(drivers, broadcast_id, rate):
    with pytest.raises(ValueError):
        MotorSimulator("vcan0", broadcast_id, drivers, rate)
