"""What one simulated driver is: its broadcast slot, feedback identifier and mode."""

import enum
from dataclasses import dataclass

from .can_frame import EFF_MASK

SLOTS = 4


class Mode(enum.Enum):
    CURRENT = "current"
    SPEED = "speed"
    POSITION = "position"


@dataclass(frozen=True)
class DriverConfig:
    slot: int
    feedback_id: int
    mode: Mode

    def __post_init__(self):
        if not 0 <= self.slot < SLOTS:
            raise ValueError(f"slot {self.slot} outside 0-{SLOTS - 1}")
        if not 0 <= self.feedback_id <= EFF_MASK:
            raise ValueError(f"feedback identifier 0x{self.feedback_id:X} out of range")

    @classmethod
    def parse(cls, text: str) -> "DriverConfig":
        """From the command line's "slot=0,id=0x201,mode=speed"."""
        fields = {}
        for item in text.split(","):
            key, sep, value = item.partition("=")
            if not sep or key.strip() not in ("slot", "id", "mode") or key.strip() in fields:
                raise ValueError(f"driver {text!r}: expected slot=N,id=ID,mode=current|speed|position")
            fields[key.strip()] = value.strip()
        if len(fields) != 3:
            raise ValueError(f"driver {text!r}: needs slot, id and mode")
        try:
            mode = Mode(fields["mode"].lower())
        except ValueError:
            raise ValueError(f"driver {text!r}: unknown mode {fields['mode']!r}") from None
        return cls(slot=int(fields["slot"], 0), feedback_id=int(fields["id"], 0), mode=mode)
