"""What a precision timer's wait before each deadline costs, learned against
fixed (DROVIK_TIMER_SPIN=fixed: the whole 800 us spin), beside the stdlib loop
doing the same work, blocking (time.sleep to the next deadline) and spinning
(time.sleep to 800 us before it, then reading the clock until it passes, as
the fixed spin does): CPU of the process and interval error p50/p99 at
1000 Hz, idle and beside two CPU-bound processes, with and without the
real-time opt-in (DROVIK_RT_PRIORITY; the stdlib loop's thread then gets the
same SCHED_FIFO priority). Then beside one CPU-bound Python thread in the same
process: interval error against the timer alone and against the stdlib loop
beside the same thread, and the busy thread's loop turns against the thread
alone. Also how timing()'s lateness p50 agrees with the same lateness recorded
in Python.

Every case is its own process; the cases take turns in short spans, round
after round, so the machine's own noise falls on all alike; each figure is the
median over the rounds.

    PYTHONPATH=<build>/src python3 bench/timer_spin.py [--seconds 1] [--rounds 8] [--json]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import textwrap
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from motor_view import grid_lateness_us  # noqa: E402

HZ = 1000.0
RT_PRIORITY = "50"
SPIN_NS = 800_000  # the fixed threshold, spun by the spinning stdlib loop too

CHILD = textwrap.dedent(r"""
    import json, os, resource, sys, threading, time
    kind, seconds, rt, busy_thread = sys.argv[1], float(sys.argv[2]), sys.argv[3] == "1", sys.argv[4] == "1"
    period_ns = int(1e9 / HZ)
    stamps = []

    def work():
        stamps.append(time.perf_counter_ns())

    class Busy(threading.Thread):
        def __init__(self):
            super().__init__(daemon=True)
            self.stop, self.turns = False, 0
        def run(self):
            turns = 0
            while not self.stop:
                turns += 1
            self.turns = turns

    busy = Busy() if busy_thread else None
    if kind in ("fixed", "adaptive"):
        import drovik  # before the measured span: the stdlib loops have nothing to load
    cpu0, wall0 = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    if busy:
        busy.start()
    timing = None
    if kind.startswith("stdlib"):
        spin_ns = SPIN_NS if kind == "stdlib-spin" else 0
        if rt:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(int(RT_PRIORITY)))
        deadline = time.perf_counter_ns()
        end = deadline + int(seconds * 1e9)
        while deadline < end:
            work()
            deadline += period_ns
            now = time.perf_counter_ns()
            if now < deadline:
                if deadline - now > spin_ns:
                    time.sleep((deadline - now - spin_ns) / 1e9)
                while spin_ns and time.perf_counter_ns() < deadline:
                    pass
            else:
                deadline += (now - deadline) // period_ns * period_ns
        if rt:
            os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))
    elif kind == "none":
        time.sleep(seconds)
    else:
        handle = drovik.precision_timer(HZ)(work)()
        time.sleep(seconds)
        handle.stop()
        timing = handle.timing()
    if busy:
        busy.stop = True
        busy.join()
    cpu1, wall = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter() - wall0
    cpu = (cpu1.ru_utime + cpu1.ru_stime - cpu0.ru_utime - cpu0.ru_stime) / wall
    print(json.dumps({"stamps": stamps, "cpu": cpu, "timing": timing, "turns": busy.turns if busy else None,
                      "wall": wall}))
""").replace("HZ", repr(HZ)).replace("RT_PRIORITY", repr(RT_PRIORITY)).replace("SPIN_NS", repr(SPIN_NS))


def hog():
    return subprocess.Popen([sys.executable, "-c", "while True: pass"])


def run(kind, seconds, rt=False, load=False, busy=False):
    env = dict(os.environ)
    if kind in ("fixed", "adaptive"):
        env["DROVIK_TIMER_SPIN"] = kind
    if rt:
        env["DROVIK_RT_PRIORITY"] = RT_PRIORITY
    hogs = [hog(), hog()] if load else []
    try:
        out = subprocess.run([sys.executable, "-c", CHILD, kind, str(seconds), "1" if rt else "0",
                              "1" if busy else "0"], capture_output=True, text=True, env=env, check=True)
    finally:
        for h in hogs:
            h.kill()
            h.wait()
    return json.loads(out.stdout)


def errors_us(stamps):
    period = 1e9 / HZ
    return sorted(abs((b - a) - period) / 1000 for a, b in zip(stamps[10:], stamps[11:]))


def python_lateness_p50_us(stamps):
    """Lateness as a program records it: the demo's way of finding the grid from the calls' starts."""
    return statistics.median(grid_lateness_us([t / 1e9 for t in stamps[10:]], 1 / HZ))


def q(values, p):
    return values[min(len(values) - 1, int(p * len(values)))]


def summarize(result):
    row = {"cpu_pct": round(100 * result["cpu"], 1), "ticks": len(result["stamps"])}
    if result["stamps"]:
        errors = errors_us(result["stamps"])
        row |= {"err_p50_us": round(q(errors, 0.5), 1), "err_p99_us": round(q(errors, 0.99), 1)}
    if result["timing"]:
        row["timing_p50_us"] = round(result["timing"]["late_p50_us"], 2)
        row["python_p50_us"] = round(python_lateness_p50_us(result["stamps"]), 2)
        row["missed"] = result["timing"]["missed"]
        row["late_p99_us"] = round(result["timing"]["late_p99_us"], 1)
    if result["turns"] is not None:
        row["turns_per_s"] = round(result["turns"] / result["wall"])
    return row


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--no-rt", action="store_true", help="leave out the real-time opt-in")
    parser.add_argument("--only", help="run the cases whose name contains this")
    parser.add_argument("--json", action="store_true", help="the medians as JSON")
    args = parser.parse_args()
    cases = []
    for rt in ([False] if args.no_rt else [False, True]):
        for load in (False, True):
            for kind in ("stdlib", "stdlib-spin", "fixed", "adaptive"):
                cases.append((f"{kind} {'rt' if rt else 'default'} {'2 hogs' if load else 'idle'}",
                              dict(kind=kind, rt=rt, load=load)))
    for kind in ("stdlib", "fixed", "adaptive"):
        cases.append((f"{kind} beside a busy thread", dict(kind=kind, busy=True)))
    cases.append(("busy thread alone", dict(kind="none", busy=True)))
    cases = [(name, case) for name, case in cases if args.only is None or args.only in name]
    rows = {name: [] for name, _ in cases}
    for _ in range(args.rounds):
        for name, case in cases:
            rows[name].append(summarize(run(seconds=args.seconds, **case)))
    summary = {"seconds": args.seconds, "rounds": args.rounds, "rt_priority": int(RT_PRIORITY),
               "spin_us": SPIN_NS // 1000, "cases": {}}
    for name, runs in rows.items():
        line = {key: round(statistics.median(r[key] for r in runs), 2) for key in runs[0] if key != "ticks"}
        line["ticks"] = sum(r["ticks"] for r in runs)
        line["ticks_expected"] = round(args.rounds * args.seconds * HZ) if name != "busy thread alone" else 0
        line["worst_p99_us"] = max((r.get("err_p99_us", 0) for r in runs), default=0)
        summary["cases"][name] = line
    if args.json:
        print(json.dumps(summary, indent=1))
        return
    print(f"{args.rounds} rounds of {args.seconds:g} s per case; median over the rounds (worst round's p99)")
    for name, line in summary["cases"].items():
        print(f"{name:34s} " + " ".join(f"{key} {value:g}" for key, value in line.items()))


if __name__ == "__main__":
    main()
