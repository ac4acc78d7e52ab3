"""A CAN node on the standard library's socket module, for tests, the reference-leak
hunt and the benchmarks: the raw frame layout, a peer socket, and the wait until a
socket opened in the background hears the bus.

As a library: Peer(iface) is a raw CAN socket bound to iface that sends and
receives (identifier word with flag bits, data). As a program, for a second
process:
    peer.py send IFACE WORD COUNT   sends COUNT frames WORD, data = sequence number (u32 LE)
    peer.py echo IFACE COUNT        prints "ready", then sends each of COUNT received frames back
"""

import errno
import select
import socket
import struct
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "testing"))
from motor_sim.can_frame import EFF_FLAG, LAYOUT as FRAME, RTR_FLAG  # noqa: E402

SO_RCVBUFFORCE = 33
DEADLINE = 20.0  # seconds; generous for a loaded two-core machine


def pack(word: int, data: bytes = b"") -> bytes:
    return FRAME.pack(word, len(data), data)


def unpack(raw: bytes) -> tuple[int, bytes]:
    word, length, data = FRAME.unpack(raw)
    return word, data[:length]


def sequence_data(n: int) -> bytes:
    return n.to_bytes(4, "little")


def why_no_can(iface: str = "vcan0") -> str | None:
    """Why no raw CAN socket can be bound to iface here, or None when one can."""
    try:
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    except (AttributeError, OSError) as error:
        return f"no raw CAN sockets here ({error})"
    with sock:
        try:
            sock.bind((iface,))
        except OSError as error:
            return f"cannot bind a raw CAN socket to {iface} ({error})"
    return None


def wait_until_heard(send, receive, timeout: float = DEADLINE) -> None:
    """For a socket opened in the background (drovik opens them on a runtime task):
    numbered probes go out through send(can_id, data) until the latest one comes
    back through receive() (the next frame, or None after a short wait), which
    also reads every earlier one on the way."""
    deadline = time.monotonic() + timeout
    n = 0
    while time.monotonic() < deadline:
        probe = (0x7FF, sequence_data(n))
        send(*probe)
        frame = receive()
        while frame is not None and frame != probe:
            frame = receive()
        if frame == probe:
            return
        n += 1
    raise AssertionError(f"the bus was not heard within {timeout} s")


class Peer:
    def __init__(self, iface: str):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            self.sock.bind((iface,))
        except OSError:
            self.sock.close()
            raise

    def enlarge_receive_buffer(self, size: int = 4 << 20) -> None:
        """As large as allowed: a kernel caps SO_RCVBUF at rmem_max unless root forces it."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, size)
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, size)
        except PermissionError:
            pass

    def fileno(self) -> int:
        return self.sock.fileno()

    def send(self, word: int, data: bytes = b"") -> None:
        self.sock.send(pack(word, data))

    def recv(self, timeout: float) -> tuple[int, bytes] | None:
        """The next frame, or None when none comes within timeout seconds."""
        readable, _, _ = select.select([self.sock], [], [], timeout)
        if not readable:
            return None
        return unpack(self.sock.recv(FRAME.size))

    def recv_many(self, count: int, timeout: float) -> list[tuple[int, bytes]]:
        """Up to count frames, stopping when timeout seconds pass in total."""
        deadline = time.monotonic() + timeout
        frames = []
        while len(frames) < count:
            frame = self.recv(max(0.0, deadline - time.monotonic()))
            if frame is None:
                break
            frames.append(frame)
        return frames

    def drain(self, quiet: float = 0.1) -> None:
        """Drops frames until none comes for `quiet` seconds."""
        while self.recv(timeout=quiet) is not None:
            pass

    def broadcast(self, counts: tuple[int, int, int, int], word: int = 0x100) -> None:
        """A motor broadcast frame: four little-endian int16 targets, slot 0 first."""
        self.send(word, struct.pack("<4h", *counts))

    def frames(self):
        """Every frame received, failing once DEADLINE has passed without the one wanted."""
        deadline = time.monotonic() + DEADLINE
        while True:
            try:
                frame = self.recv(max(0.0, deadline - time.monotonic()))
            except OSError as error:
                if error.errno == errno.ENETDOWN:
                    continue  # a link flap is reported once to every bound socket
                raise
            if frame is None:
                raise AssertionError(f"no expected frame within {DEADLINE} s")
            yield frame

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

    def __enter__(self) -> "Peer":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def main(argv: list[str]) -> int:
    command, iface, *args = argv
    with Peer(iface) as peer:
        if command == "send":
            word, count = int(args[0], 0), int(args[1])
            for n in range(count):
                peer.send(word, sequence_data(n))
        elif command == "echo":
            print("ready", flush=True)
            for _ in range(int(args[0])):
                frame = peer.recv(timeout=30)
                if frame is None:
                    return 1
                peer.send(*frame)
        else:
            print(__doc__, file=sys.stderr)
            return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
