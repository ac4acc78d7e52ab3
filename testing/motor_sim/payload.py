"""The two payload layouts the drivers and the host agree on.

Broadcast: four little-endian int16 counts, slot 0 in bytes 0-1. Feedback:
position as a little-endian float32 in radians, then speed in tenths of a
rad/s and current in hundredths of an ampere as little-endian int16.
"""

import struct

from .driver_config import Mode

BROADCAST = struct.Struct("<4h")
FEEDBACK = struct.Struct("<fhh")
INT16_MIN, INT16_MAX = -32768, 32767


def counts_per_unit(mode: Mode) -> float:
    return 10.0 if mode is Mode.SPEED else 100.0


def decode_broadcast(data: bytes) -> tuple[int, int, int, int]:
    return BROADCAST.unpack(data)


def target_of(count: int, mode: Mode) -> float:
    return count / counts_per_unit(mode)


def _count(value: float, per_unit: float) -> int:
    return max(INT16_MIN, min(INT16_MAX, round(value * per_unit)))


def encode_feedback(position: float, speed: float, current: float) -> bytes:
    """Counts saturate rather than wrap, as a driver's firmware would."""
    return FEEDBACK.pack(position, _count(speed, 10.0), _count(current, 100.0))
