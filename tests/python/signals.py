"""Runs a Python program in a child process and signals it once it waits."""

import os
import signal
import subprocess
import sys
import textwrap
import time

from subproc import PROBE_DIR

# x86_64 numbers of the calls a thread waits in: futex, epoll_wait, epoll_pwait,
# epoll_pwait2, and the sleeps: nanosleep, clock_nanosleep, select, pselect6.
WAITING_CALLS = {"202", "232", "281", "441", "35", "230", "23", "270"}


class Child:
    def __init__(self, code):
        env = dict(os.environ)
        if PROBE_DIR:
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [PROBE_DIR, env.get("PYTHONPATH")]))
        self.proc = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(code)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
        )
        assert self.proc.stdout.readline().strip() == "ready", self.proc.stderr.read()

    def main_thread_parked(self):
        pid = self.proc.pid
        try:
            with open(f"/proc/{pid}/task/{pid}/syscall") as f:
                return f.read().split()[0] in WAITING_CALLS
        except (OSError, IndexError):
            with open(f"/proc/{pid}/task/{pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0] == "S"

    def wait_until_parked(self, timeout=30.0):
        """Polls until the child's main thread has sat waiting in five checks in a row (100 ms):
        longer than the interpreter lets a thread wait for its lock."""
        deadline, streak = time.monotonic() + timeout, 0
        while streak < 5:
            assert time.monotonic() < deadline, "the child never started waiting"
            streak = streak + 1 if self.main_thread_parked() else 0
            time.sleep(0.02)

    def signal(self, signo):
        self.wait_until_parked()
        self.proc.send_signal(signo)

    def finish(self, timeout=60):
        out, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, out, err


SIGINT, SIGTERM = signal.SIGINT, signal.SIGTERM
