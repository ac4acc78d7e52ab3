"""Precision timers beside other Python work, against the floor of a C loop
that calls Python: interval errors at 1000 Hz alone and beside one CPU-bound
Python thread, ticks delivered, and what the timer costs that busy thread.

    PYTHONPATH=<build>/src:<build>/bench/timers python3 bench/timer_contention.py [--seconds 2]
"""
import argparse
import json
import sys
import threading
import time

import _timer_floor
import drovik

HZ = 1000.0


class Busy:
    """A pure-Python CPU-bound thread; counts its loop turns."""

    def __init__(self):
        self.stop, self.turns = False, 0
        self.thread = threading.Thread(target=self.run)

    def run(self):
        turns = 0
        while not self.stop:
            turns += 1
        self.turns = turns

    def __enter__(self):
        self.began = time.perf_counter()
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()
        self.rate = self.turns / (time.perf_counter() - self.began)


def summary(stamps, seconds):
    period = 1e9 / HZ
    errors = sorted(abs((b - a) - period) for a, b in zip(stamps, stamps[1:]))
    n = len(errors)
    return {"ticks_percent": round(100.0 * len(stamps) / (HZ * seconds), 1),
            "p50_us": round(errors[n // 2] / 1e3, 2), "p99_us": round(errors[n * 99 // 100] / 1e3, 2),
            "max_us": round(errors[-1] / 1e3, 2)}


def precision_timer(seconds):
    stamps = []
    handle = drovik.precision_timer(HZ)(lambda: stamps.append(time.perf_counter_ns()))()
    time.sleep(seconds)
    handle.stop()
    return summary(list(stamps), seconds)


def c_loop(seconds):
    stamps = []
    _timer_floor.run(lambda: stamps.append(time.perf_counter_ns()), HZ, 800.0, seconds)
    return summary(stamps, seconds)


def beside_busy(loop, seconds):
    with Busy() as busy:
        figures = loop(seconds)
    return figures, busy.rate


def busy_alone(seconds):
    with Busy() as busy:
        time.sleep(seconds)
    return busy.rate


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()
    s = args.seconds
    results = {"switch_interval_us": round(sys.getswitchinterval() * 1e6)}
    results["alone"] = {"precision_timer(1000)": precision_timer(s), "C loop calling Python": c_loop(s)}
    ours, ours_rate = beside_busy(precision_timer, s)
    theirs, theirs_rate = beside_busy(c_loop, s)
    results["beside a busy thread"] = {"precision_timer(1000)": ours, "C loop calling Python": theirs}
    results["busy thread turns per s"] = {"alone": round(busy_alone(s)),
                                          "beside precision_timer(1000)": round(ours_rate),
                                          "beside the C loop calling Python": round(theirs_rate)}
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
