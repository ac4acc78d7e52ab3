"""run_async against concurrent.futures: the start-to-wait() round trip of a
trivial function, tasks per second for a batch, the threads and virtual memory
of a process that has just started 100 or 100,000 jobs, and how long block_all
takes to return after SIGINT with ten timers running (goal: under 20 ms)
against a plain-Python shutdown of ten timer threads.

    python3 bench/run_async.py [--round-trips 5000] [--processes 6] [--batch 20000] [--queued 100000] [--signals 10] [--json]
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import drovik

# Ten timers, then block_all; prints the monotonic times at which block_all returned and at which the timers
# had ended (no precision timer thread left, no call after): the two end points the plain version has too.
DROVIK_CHILD = r"""
import os, sys, time, drovik
last = [0]
def tick():
    last[0] = time.monotonic_ns()
handles = [drovik.precision_timer(100)(tick)() for _ in range(5)]
handles += [drovik.timer(100)(tick)() for _ in range(5)]
def timer_threads():
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            count += open(f"/proc/self/task/{task}/comm").read().startswith("timer-")
        except OSError:
            pass
    return count
print("ready", flush=True)
drovik.block_all(timeout_ms=5000)
returned = time.monotonic_ns()
while timer_threads():
    time.sleep(0.0001)
ended = time.monotonic_ns()
print(returned, max(ended, last[0]), flush=True)
"""

# The same in plain Python: ten timer threads that stop on an Event set by Ctrl+C; "returned" once the Event is
# set, "ended" once the threads are joined.
PLAIN_CHILD = r"""
import threading, time
stop = threading.Event()
def loop():
    while not stop.wait(0.01):
        pass
threads = [threading.Thread(target=loop) for _ in range(10)]
for t in threads:
    t.start()
print("ready", flush=True)
try:
    while True:
        time.sleep(3600)
except KeyboardInterrupt:
    stop.set()
    returned = time.monotonic_ns()
    for t in threads:
        t.join()
print(returned, time.monotonic_ns(), flush=True)
"""


# Starts N jobs, notes the process's threads and virtual memory, then waits for them.
QUEUED_CHILD = r"""
import json, os, sys
from concurrent.futures import ThreadPoolExecutor
import drovik
def status():
    fields = dict(line.split(":", 1) for line in open("/proc/self/status"))
    return {"threads": int(fields["Threads"]), "vm_mb": int(fields["VmSize"].split()[0]) // 1024}
count, kind = int(sys.argv[1]), sys.argv[2]
if kind == "run_async":
    start, finish = drovik.run_async(abs), lambda h: h.wait()
else:
    pool = ThreadPoolExecutor(max_workers=os.cpu_count())
    start, finish = (lambda i: pool.submit(abs, i)), (lambda f: f.result())
pending = [start(-i) for i in range(count)]
started = status()
for item in pending:
    finish(item)
print(json.dumps(started))
"""


# Start -> wait() round trips of run_async and of ThreadPoolExecutor, one each in
# turn so that the machine's load falls on both alike; prints the samples.
ROUND_TRIPS_CHILD = r"""
import json, os, sys, time
from concurrent.futures import ThreadPoolExecutor
import drovik
def nothing():
    return None
count = int(sys.argv[1])
job = drovik.run_async(nothing)
with ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
    calls = {"run_async": lambda: job().wait(), "ThreadPoolExecutor": lambda: pool.submit(nothing).result()}
    for call in calls.values():
        for _ in range(50):  # warm-up: threads started, code paths hot
            call()
    samples = {name: [] for name in calls}
    for _ in range(count):
        for name, call in calls.items():
            t0 = time.perf_counter_ns()
            call()
            samples[name].append(time.perf_counter_ns() - t0)
print(json.dumps(samples))
"""


def round_trips(count, processes):
    """The round trips of ROUND_TRIPS_CHILD over several fresh processes. A round
    trip hands the call to a thread that the kernel puts either on the caller's CPU
    or on another one (an idle one, which takes tens of microseconds to wake on a
    virtual machine); the place holds for the process's life, so one process
    measures one draw of it."""
    samples = {}
    for _ in range(processes):
        out = subprocess.run([sys.executable, "-c", ROUND_TRIPS_CHILD, str(count // processes)], capture_output=True,
                             text=True, check=True, timeout=600).stdout
        for name, taken in json.loads(out).items():
            samples.setdefault(name, []).extend(taken)
    figures = {}
    for name, taken in samples.items():
        taken.sort()
        figures[name] = {"p50_us": round(taken[len(taken) // 2] / 1e3, 1),
                         "p99_us": round(taken[len(taken) * 99 // 100] / 1e3, 1),
                         "per_s": round(1e9 / statistics.fmean(taken)), "trips": len(taken)}
    return figures


def queued_status(count, kind):
    out = subprocess.run([sys.executable, "-c", QUEUED_CHILD, str(count), kind], capture_output=True, text=True,
                         check=True, timeout=600).stdout
    return json.loads(out)


def nothing():
    return None


def batch_rate(start, finish, count):
    t0 = time.perf_counter()
    pending = [start() for _ in range(count)]
    for item in pending:
        finish(item)
    return round(count / (time.perf_counter() - t0))


def shutdown_delay_ms(child, runs):
    """SIGINT -> the stop returns, and SIGINT -> every timer ended: p50 and max of each."""
    delays, ends = [], []
    for _ in range(runs):
        proc = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(0.3)  # let the child reach its wait
        sent = time.monotonic_ns()
        os.kill(proc.pid, signal.SIGINT)
        returned, ended = map(int, proc.stdout.readline().split())
        proc.wait(timeout=30)
        delays.append((returned - sent) / 1e6)
        ends.append((ended - sent) / 1e6)
    delays.sort()
    ends.sort()
    return {"p50_ms": round(delays[len(delays) // 2], 2), "max_ms": round(delays[-1], 2),
            "ended_p50_ms": round(ends[len(ends) // 2], 2), "ended_max_ms": round(ends[-1], 2), "runs": runs}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--round-trips", type=int, default=5000)
    parser.add_argument("--processes", type=int, default=6, help="fresh processes the round trips are spread over")
    parser.add_argument("--batch", type=int, default=20000)
    parser.add_argument("--queued", type=int, default=100000)
    parser.add_argument("--signals", type=int, default=10)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()

    job = drovik.run_async(nothing)
    with ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
        results = {
            "round_trip": round_trips(args.round_trips, args.processes),
            "batch_tasks_per_s": {
                "run_async": batch_rate(job, lambda h: h.wait(), args.batch),
                "ThreadPoolExecutor": batch_rate(lambda: pool.submit(nothing), lambda f: f.result(), args.batch),
            },
        }
    results["after_starting"] = {
        f"{kind}, {count} jobs": queued_status(count, kind)
        for kind in ("run_async", "ThreadPoolExecutor") for count in (100, args.queued)
    }
    results["sigint_to_return"] = {
        "block_all, 10 timers": shutdown_delay_ms(DROVIK_CHILD, args.signals),
        "plain Python, 10 timer threads": shutdown_delay_ms(PLAIN_CHILD, args.signals),
    }
    if args.json:
        print(json.dumps(results, indent=2))
        return
    for area, rows in results.items():
        print(area)
        for name, figures in rows.items():
            print(f"  {name:32} {figures}")


if __name__ == "__main__":
    main()
