"""Runs a Python program in a child process and signals it once it waits."""

import os
import signal
import subprocess
import sys
import textwrap
import time

PROBE_DIR = os.environ.get("DROVIK_PROBE_DIR")

# x86_64 numbers of the calls a thread waits in: futex, epoll_wait, epoll_pwait,
# epoll_pwait2, poll, ppoll, the sleeps: nanosleep, clock_nanosleep, select, pselect6,
# and the waiting socket reads: recvfrom, recvmsg.
WAITING_CALLS = {"202", "232", "281", "441", "7", "271", "35", "230", "23", "270", "45", "47"}


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

    def signal(self, signo):
        wait_until_main_thread_waits(self.proc.pid)
        self.proc.send_signal(signo)

    def finish(self, timeout=60):
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()  # once it waited for signals, SIGTERM no longer ends it
            raise
        return self.proc.returncode, out, err


def main_thread_waiting(pid):
    """Whether the process's main thread sits in a waiting or sleeping call."""
    try:
        with open(f"/proc/{pid}/task/{pid}/syscall") as f:
            return f.read().split()[0] in WAITING_CALLS
    except (OSError, IndexError):
        with open(f"/proc/{pid}/task/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "S"


def thread_cpu_seconds(pid, tid):
    """Processor time, user and system, that one thread of the process has used."""
    with open(f"/proc/{pid}/task/{tid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_until_main_thread_waits(pid, timeout=30.0):
    """Polls until the main thread has sat waiting in five checks in a row (100 ms):
    longer than the interpreter lets a thread wait for its lock."""
    deadline, streak = time.monotonic() + timeout, 0
    while streak < 5:
        assert time.monotonic() < deadline, "the process never started waiting"
        streak = streak + 1 if main_thread_waiting(pid) else 0
        time.sleep(0.02)


SIGINT, SIGTERM = signal.SIGINT, signal.SIGTERM
