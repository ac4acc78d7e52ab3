"""Timer precision: the error of each interval between successive calls against
the period (p50, p99, max, in microseconds) and the achieved rate, for the
module's timers, the same loops in plain Python (blocking, and spinning the
fixed 800 us or 3 ms before each deadline as the precision and realtime
timers' fixed spins do),
and the C floor. Every loop skips the deadlines a late tick missed, as the
module's timers do.

    PYTHONPATH=<build>/src python3 bench/timers.py --floor <build>/bench/timers/timer_floor [--seconds 5]
"""
import argparse
import json
import subprocess
import threading
import time

import drovik


def summary(stamps, period):
    errors = sorted(abs((b - a) - period) for a, b in zip(stamps, stamps[1:]))
    n = len(errors)
    return {
        "p50_us": round(errors[n // 2] / 1e3, 2),
        "p99_us": round(errors[n * 99 // 100] / 1e3, 2),
        "max_us": round(errors[-1] / 1e3, 2),
        "rate_hz": round(n / ((stamps[-1] - stamps[0]) / 1e9), 2),
    }


def module_timer(decorator, hz, seconds):
    stamps = []
    handle = decorator(hz)(lambda: stamps.append(time.perf_counter_ns()))()
    time.sleep(seconds)
    handle.stop()
    return summary(list(stamps), 1e9 / hz)


def plain_loop(hz, seconds, wait):
    """Calls at each deadline after wait(delay); a deadline already past is skipped, as the timers skip it."""
    period = 1.0 / hz
    stamps, deadline = [], time.perf_counter() + period
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        stamps.append(time.perf_counter_ns())
        now = time.perf_counter()
        if deadline <= now:
            deadline += ((now - deadline) // period + 1) * period
        wait(deadline - now, deadline)
        deadline += period
    return summary(stamps, 1e9 / hz)


def sleep_loop(hz, seconds):
    return plain_loop(hz, seconds, lambda delay, deadline: time.sleep(delay))


def event_loop(hz, seconds):
    wake = threading.Event()
    return plain_loop(hz, seconds, lambda delay, deadline: wake.wait(delay))


def spin_loop(hz, seconds, spin_s):
    def wait(delay, deadline):
        if delay > spin_s:
            time.sleep(delay - spin_s)
        while time.perf_counter() < deadline:
            pass

    return plain_loop(hz, seconds, wait)


def floor(path, hz, spin_us, seconds):
    out = subprocess.run([path, str(hz), str(spin_us), str(seconds)], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--floor", required=True, help="the timer_floor program")
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    s = args.seconds
    rows = [
        ("precision_timer(1000)", lambda: module_timer(drovik.precision_timer, 1000, s)),
        ("precision_timer(1000, realtime=True)",
         lambda: module_timer(lambda hz: drovik.precision_timer(hz, realtime=True), 1000, s)),
        ("precision_timer(20000, realtime=True)",
         lambda: module_timer(lambda hz: drovik.precision_timer(hz, realtime=True), 20000, s)),
        ("timer(100)", lambda: module_timer(drovik.timer, 100, s)),
        ("timer(1000)", lambda: module_timer(drovik.timer, 1000, s)),
        ("time.sleep loop 1000 Hz", lambda: sleep_loop(1000, s)),
        ("time.sleep + 800 us spin loop 1000 Hz", lambda: spin_loop(1000, s, 800e-6)),
        ("time.sleep + 3 ms spin loop 1000 Hz", lambda: spin_loop(1000, s, 3e-3)),
        ("time.sleep loop 100 Hz", lambda: sleep_loop(100, s)),
        ("Event.wait loop 1000 Hz", lambda: event_loop(1000, s)),
        ("C floor 1000 Hz, 800 us spin", lambda: floor(args.floor, 1000, 800, s)),
        ("C floor 1000 Hz, 3 ms spin", lambda: floor(args.floor, 1000, 3000, s)),
        ("C floor 20000 Hz, 3 ms spin", lambda: floor(args.floor, 20000, 3000, s)),
    ]
    print(f"{'loop':40} {'p50 us':>9} {'p99 us':>9} {'max us':>10} {'rate Hz':>10}")
    for name, run in rows:
        r = run()
        print(f"{name:40} {r['p50_us']:9.2f} {r['p99_us']:9.2f} {r['max_us']:10.2f} {r['rate_hz']:10.2f}", flush=True)


if __name__ == "__main__":
    main()
