"""The host's side of the bus for the simulator's tests: a raw CAN socket read
and written through struct alone."""

import errno
import select
import socket
import struct
import time

import pytest

IFACE = "vcan0"
FRAME = struct.Struct("=IB3x8s")
EFF_FLAG = 0x80000000
RTR_FLAG = 0x40000000
DEADLINE = 20.0  # seconds; generous for a loaded two-core machine


def why_no_can() -> str | None:
    try:
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    except (AttributeError, OSError) as error:
        return f"no raw CAN sockets here ({error})"
    with sock:
        try:
            sock.bind((IFACE,))
        except OSError as error:
            return f"cannot bind a raw CAN socket to {IFACE} ({error})"
    return None


class BusPeer:
    """The host's side of the bus, seen through struct only."""

    def __init__(self, iface: str):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.bind((iface,))

    def send(self, word: int, data: bytes) -> None:
        self.sock.send(FRAME.pack(word, len(data), data))

    def broadcast(self, counts: tuple[int, int, int, int], word: int = 0x100) -> None:
        self.send(word, struct.pack("<4h", *counts))

    def frames(self):
        """(word, data) of every frame received, failing the test once DEADLINE has passed."""
        deadline = time.monotonic() + DEADLINE
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                pytest.fail(f"no expected frame within {DEADLINE} s")
            try:
                raw = self.sock.recv(FRAME.size)
            except OSError as error:
                if error.errno == errno.ENETDOWN:
                    continue  # a link flap is reported once to every bound socket
                raise
            word, length, data = FRAME.unpack(raw)
            yield word, data[:length]

    def feedback(self, word: int):
        """Data of the frames with this identifier word, one by one."""
        return (data for got, data in self.frames() if got == word)

    def feedback_until(self, word: int, done) -> list[bytes]:
        """Data of the frames with this word up to the first one that done() accepts."""
        seen = []
        for data in self.feedback(word):
            seen.append(data)
            if done(data):
                return seen

    def close(self) -> None:
        self.sock.close()
