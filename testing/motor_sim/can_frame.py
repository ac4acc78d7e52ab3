"""Classic CAN frames as the kernel's 16-byte struct can_frame."""

import struct
from dataclasses import dataclass

EFF_FLAG = 0x80000000
RTR_FLAG = 0x40000000
ERR_FLAG = 0x20000000
SFF_MASK = 0x000007FF
EFF_MASK = 0x1FFFFFFF
FRAME_SIZE = 16
LAYOUT = struct.Struct("=IB3x8s")  # the one copy; the tests' peer reads it too


@dataclass(frozen=True)
class Frame:
    can_id: int  # without flag bits
    data: bytes
    remote: bool = False
    error: bool = False


def pack(can_id: int, data: bytes) -> bytes:
    """Identifiers above 0x7FF go out as extended frames."""
    if not 0 <= can_id <= EFF_MASK:
        raise ValueError(f"CAN identifier 0x{can_id:X} out of range")
    if len(data) > 8:
        raise ValueError(f"{len(data)} data bytes: a classic frame holds at most 8")
    word = can_id | EFF_FLAG if can_id > SFF_MASK else can_id
    return LAYOUT.pack(word, len(data), data)


def unpack(raw: bytes) -> Frame:
    word, length, payload = LAYOUT.unpack(raw)
    extended = bool(word & EFF_FLAG)
    return Frame(
        can_id=word & (EFF_MASK if extended else SFF_MASK),
        data=payload[: min(length, 8)],
        remote=bool(word & RTR_FLAG),
        error=bool(word & ERR_FLAG),
    )
