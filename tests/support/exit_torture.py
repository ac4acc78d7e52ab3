"""Ends programs with everything running, over and over, beside a CPU load, and
counts crashes, hangs and stray standard-error lines.

    python3 tests/support/exit_torture.py [--runs 2000] [--load 2] [--variant NAME ...]

Each variant starts timers of all three modes and run_async jobs, some of them
inside long calls (sleeping, computing, never returning) when the program's end
comes, then ends. A run passes when it exits with status 0 within the hang
limit, printed "exiting" and wrote nothing to standard error but the lines the
module writes for handles the interpreter releases on its way out and for the
CAN interface that does not exist.
"""

import argparse
import json
import os
import subprocess
import sys
import time

COMMON = """
import drovik, threading, time
inside = threading.Event()
def slow():
    inside.set()
    time.sleep(0.3)
def busy():
    sum(range(100))
"""

VARIANTS = {
    # Timers of all three modes (two inside a 0.3 s sleep), four jobs inside
    # their 0.5 s sleep, a motor on a missing interface.
    "sleeping": COMMON + """
handles = [
    drovik.timer(100.0)(busy)(),
    drovik.timer(20.0)(slow)(),
    drovik.precision_timer(1000.0)(busy)(),
    drovik.precision_timer(5000.0, realtime=True)(busy)(),
    drovik.precision_timer(20.0)(slow)(),
]
inside.wait(20)
while min(h.tick_count() for h in handles[2:4]) < 5:
    time.sleep(0.001)
tasks = [drovik.run_async(time.sleep)(0.5) for _ in range(4)]
motor = drovik.Motor("no-such-can", 0x100)
print("exiting", flush=True)
""",
    # Calls that compute, in Python, right through the end.
    "computing": COMMON + """
def compute():
    inside.set()
    sum(i * i for i in range(200_000))
handles = [
    drovik.timer(200.0)(compute)(),
    drovik.precision_timer(2000.0)(compute)(),
    drovik.precision_timer(5000.0, realtime=True)(busy)(),
]
tasks = [drovik.run_async(compute)() for _ in range(8)]
inside.wait(20)
print("exiting", flush=True)
""",
    # Calls that never return: a spinning job, one waiting for an event nobody
    # sets, timers sleeping far past the end.
    "endless": COMMON + """
never = threading.Event()
def spin():
    inside.set()
    while True:
        pass
def nap():
    inside.set()
    time.sleep(30)
handles = [
    drovik.timer(50.0)(nap)(),
    drovik.precision_timer(1000.0)(spin)(),
    drovik.precision_timer(100.0)(busy)(),
]
tasks = [drovik.run_async(spin)(), drovik.run_async(never.wait)(), drovik.run_async(time.sleep)(30)]
inside.wait(20)
time.sleep(0.01)
print("exiting", flush=True)
""",
    # Daemon threads inside every wait that releases the GIL, each ending and
    # starting again every few milliseconds, so that waits end right through the
    # exit; and the exiting thread itself waits in an exit handler that runs
    # after the module's own.
    "waiting": COMMON + """
import atexit, random
atexit.register(drovik.shutdown_all, 50)
manager = drovik.get_task_manager()
job = drovik.run_async(time.sleep)(0.06)
ticking = drovik.precision_timer(1000.0)(busy)()
def ms():
    return random.randint(0, 3)
def again_and_again(wait):
    def loop():
        while True:
            try:
                wait()
            except (TimeoutError, RuntimeError):
                pass
    threading.Thread(target=loop, daemon=True).start()
again_and_again(lambda: job.wait(ms()))
again_and_again(lambda: manager.wait_all(ms()))
again_and_again(lambda: manager.shutdown(ms()))
again_and_again(lambda: drovik.shutdown_all(ms()))
again_and_again(lambda: drovik.block_until(wait_ms=ms()))
again_and_again(drovik.block_all)
time.sleep(random.random() * 0.04)
print("exiting", flush=True)
""",
}

# What the module may write while the interpreter releases what it still holds,
# and the lines of block_until's shutdown (which begin with an empty one).
EXPECTED_STDERR = ("Warning: TimerHandle(id=", "Warning: AsyncHandle(id=", "Failed to open CAN device no-such-can",
                   "[drovik] Stopping (reason: timeout), initiating graceful shutdown...",
                   "[drovik] All tasks stopped successfully")

HANG_LIMIT_S = 20


def run_once(code, env=None):
    """One run: 'ok', 'crash', 'hang', 'stdout' or 'stderr', and the output that shows why."""
    try:
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                timeout=HANG_LIMIT_S, env=env)
    except subprocess.TimeoutExpired as hung:
        return "hang", str(hung.stderr)
    if result.returncode != 0:
        return "crash", f"status {result.returncode}: {result.stderr}"
    if result.stdout != "exiting\n":
        return "stdout", result.stdout
    stray = [line for line in result.stderr.splitlines() if line and not line.startswith(EXPECTED_STDERR)]
    return ("stderr", "\n".join(stray)) if stray else ("ok", "")


class CpuLoad:
    """Processes spinning beside the runs, so that exits meet a busy machine."""

    def __init__(self, processes):
        self.procs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(processes)]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for proc in self.procs:
            proc.kill()
            proc.wait()


def torture(variants, runs, load, env=None, report=None):
    counts = {name: {"ok": 0, "crash": 0, "hang": 0, "stdout": 0, "stderr": 0} for name in variants}
    failures = []
    with CpuLoad(load):
        for i in range(runs):
            for name in variants:
                outcome, detail = run_once(VARIANTS[name], env)
                counts[name][outcome] += 1
                if outcome != "ok":
                    failures.append((name, outcome, detail))
                    if report:
                        report(f"run {i} {name}: {outcome}: {detail[:500]}")
    return counts, failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--load", type=int, default=os.cpu_count() or 1, help="spinning processes beside")
    parser.add_argument("--variant", action="append", choices=sorted(VARIANTS))
    args = parser.parse_args()
    began = time.monotonic()
    counts, _ = torture(args.variant or list(VARIANTS), args.runs, args.load,
                        report=lambda line: print(line, file=sys.stderr, flush=True))
    print(json.dumps({"python": sys.version.split()[0], "runs": args.runs, "load": args.load,
                      "seconds": round(time.monotonic() - began), "counts": counts}))


if __name__ == "__main__":
    main()
