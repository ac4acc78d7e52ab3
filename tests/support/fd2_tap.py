"""A loss-free view of what the process writes to file descriptor 2.

pytest's capfd truncates its file after each read, so a line a background thread
writes in that instant is lost. The tap points fd 2 at a file of its own, opened
for appending, and reads it by offset: nothing is ever truncated."""

import fcntl
import os
import tempfile

from waiting import eventually


class Fd2Tap:
    def __init__(self):
        self._fd, path = tempfile.mkstemp(prefix="fd2-")
        os.unlink(path)
        fcntl.fcntl(self._fd, fcntl.F_SETFL, fcntl.fcntl(self._fd, fcntl.F_GETFL) | os.O_APPEND)
        self._taken = 0  # bytes already handed out by take()
        self._saved = None  # what fd 2 was before attach()

    def attach(self):
        self._saved = os.dup(2)
        os.dup2(self._fd, 2)

    def detach(self):
        """Gives fd 2 back and replays what the tap took, so a failing test's report shows it."""
        os.dup2(self._saved, 2)
        os.close(self._saved)
        self._saved = None
        os.write(2, self._read_from(0))

    def close(self):
        os.close(self._fd)

    def take(self) -> str:
        """What was written since the previous take()."""
        data = self._read_from(self._taken)
        self._taken += len(data)
        return data.decode(errors="replace")

    def shows(self, text: str, timeout: float = 20.0) -> bool:
        """Waits until `text` has been written since the previous take(); takes what it read."""
        seen = []
        return eventually(lambda: seen.append(self.take()) or text in "".join(seen), timeout)

    def _read_from(self, offset: int) -> bytes:
        chunks = []
        while chunk := os.pread(self._fd, 1 << 16, offset):
            chunks.append(chunk)
            offset += len(chunk)
        return b"".join(chunks)
