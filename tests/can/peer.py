"""A CAN peer on the standard library's socket module, for tests and benchmarks.

As a library: Peer(iface) is a raw CAN socket bound to iface that sends and
receives (identifier word with flag bits, data). As a program, for a second
process:
    peer.py send IFACE WORD COUNT   sends COUNT frames WORD, data = sequence number (u32 LE)
    peer.py echo IFACE COUNT        prints "ready", then sends each of COUNT received frames back
"""

import select
import socket
import struct
import sys
import time

FRAME = struct.Struct("=IB3x8s")
EFF_FLAG = 0x80000000
RTR_FLAG = 0x40000000
SO_RCVBUFFORCE = 33


def pack(word: int, data: bytes = b"") -> bytes:
    return FRAME.pack(word, len(data), data)


def unpack(raw: bytes) -> tuple[int, bytes]:
    word, length, data = FRAME.unpack(raw)
    return word, data[:length]


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

    def close(self) -> None:
        self.sock.close()

    def __enter__(self) -> "Peer":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def sequence_data(n: int) -> bytes:
    return n.to_bytes(4, "little")


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
