"""Tick lateness distributions of the module's timers against plain-Python loops
at 1000 Hz, as a PNG of their cumulative distributions plus percentiles as JSON.

    python3 bench/report_lateness.py --png bench/timer_lateness.png [--seconds 3]

Lateness is a tick's delay behind its deadline. The module's timers skip the
deadlines they missed; their grid is found as in the demo (examples/motor_view.py),
so a tick more than a period late counts from the deadline it ran in.
"""

import argparse
import json
import sys
import threading
import time
from pathlib import Path

import drovik

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from motor_view import grid_lateness_us  # noqa: E402

HZ = 1000


def timestamps_of_timer(decorator, seconds):
    stamps = []
    handle = decorator(HZ)(lambda: stamps.append(time.perf_counter()))()
    time.sleep(seconds)
    handle.stop()
    return stamps[: len(stamps)]


# The plain loops know their own deadlines and skip the ones a late tick missed, as
# the timers do, so their lateness is exact: the time of each tick minus its deadline.
def lateness_of_plain_loop(seconds, wait):
    period, late = 1.0 / HZ, []
    start = deadline = time.perf_counter()
    while deadline - start < seconds:
        now = time.perf_counter()
        late.append((now - deadline) * 1e6)
        deadline += period
        if deadline <= now:
            deadline += ((now - deadline) // period + 1) * period
        wait(max(0.0, deadline - time.perf_counter()))
    return sorted(late)


def lateness_of_sleep_loop(seconds):
    return lateness_of_plain_loop(seconds, time.sleep)


def lateness_of_event_loop(seconds):
    return lateness_of_plain_loop(seconds, threading.Event().wait)


def lateness_of_timer(decorator, seconds):
    return sorted(grid_lateness_us(timestamps_of_timer(decorator, seconds), 1.0 / HZ))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--png", required=True)
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    loops = {
        f"precision_timer({HZ})": lambda: lateness_of_timer(drovik.precision_timer, args.seconds),
        f"precision_timer({HZ}, realtime=True)":
            lambda: lateness_of_timer(lambda hz: drovik.precision_timer(hz, realtime=True), args.seconds),
        f"timer({HZ})": lambda: lateness_of_timer(drovik.timer, args.seconds),
        f"time.sleep loop {HZ} Hz": lambda: lateness_of_sleep_loop(args.seconds),
        f"Event.wait loop {HZ} Hz": lambda: lateness_of_event_loop(args.seconds),
    }
    lateness = {name: run() for name, run in loops.items()}

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, ax = plt.subplots(figsize=(9, 5), constrained_layout=True)
    for name, values in lateness.items():
        shares = [(i + 1) / len(values) for i in range(len(values))]
        ax.plot([max(v, 0.1) for v in values], shares, label=name)
    ax.set_xscale("log")
    ax.set_xlabel(f"tick lateness behind the {HZ} Hz grid (us, log scale)")
    ax.set_ylabel("share of ticks at most this late")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="lower right")
    figure.savefig(args.png, dpi=110)

    def at(values, share):
        return round(values[min(len(values) - 1, int(len(values) * share))], 1)

    print(json.dumps({name: {"ticks": len(v), "p50_us": at(v, 0.5), "p99_us": at(v, 0.99), "max_us": round(v[-1], 1)}
                      for name, v in lateness.items()}))


if __name__ == "__main__":
    main()
