"""Precision timers beside other Python work, against the floor of a C loop
that calls Python: interval errors at 1000 Hz alone and beside one CPU-bound
Python thread, ticks delivered, and what the timer costs that busy thread.

Each case runs in short spans, the timer's and the C loop's taking turns, so
that a burst of the machine's own noise (this virtual machine's processors are
taken away for milliseconds now and then) falls on both alike rather than on
whichever ran in that second.

    PYTHONPATH=<build>/src:<build>/bench/timers python3 bench/timer_contention.py [--seconds 2] [--spans 8]
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
        self.elapsed = time.perf_counter() - self.began


# A span's first intervals include the loop's start (thread, first deadline): not its grid.
SKIPPED_AT_START = 2


def intervals(stamps):
    period = 1e9 / HZ
    return [abs((b - a) - period) for a, b in zip(stamps, stamps[1:])][SKIPPED_AT_START:]


def summary(spans, seconds):
    errors = sorted(error for stamps in spans for error in intervals(stamps))
    n = len(errors)
    ticks = sum(len(stamps) - 1 for stamps in spans)  # a span's first tick comes at its start
    return {"ticks_percent": round(100.0 * ticks / (HZ * seconds), 1),
            "p50_us": round(errors[n // 2] / 1e3, 2), "p99_us": round(errors[n * 99 // 100] / 1e3, 2),
            "max_us": round(errors[-1] / 1e3, 2)}


def precision_timer(seconds):
    stamps = []
    handle = drovik.precision_timer(HZ)(lambda: stamps.append(time.perf_counter_ns()))()
    time.sleep(seconds)
    handle.stop()
    return list(stamps)


def c_loop(seconds):
    stamps = []
    _timer_floor.run(lambda: stamps.append(time.perf_counter_ns()), HZ, 800.0, seconds)
    return stamps


def c_loop_lowered(seconds):
    """The C loop with the switch interval a running precision timer sets: what is
    left of a tick's wait for the interpreter lock is the interpreter's hand-off."""
    found = sys.getswitchinterval()
    sys.setswitchinterval(1.0 / HZ / 20)
    try:
        return c_loop(seconds)
    finally:
        sys.setswitchinterval(found)


class BusyTally:
    """Loop turns and seconds of the busy thread over all spans of one case."""

    def __init__(self):
        self.turns, self.seconds = 0, 0.0

    def run(self, loop, seconds):
        with Busy() as busy:
            stamps = loop(seconds) if loop else time.sleep(seconds)
        self.turns += busy.turns
        self.seconds += busy.elapsed
        return stamps

    def rate(self):
        return round(self.turns / self.seconds)


def taking_turns(cases, seconds, spans):
    """Runs each case for seconds in all, in spans, the cases in turn (rotated each round)."""
    results = {name: [] for name, _ in cases}
    for index in range(spans):
        shift = index % len(cases)
        for name, run in cases[shift:] + cases[:shift]:
            results[name].append(run(seconds / spans))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="per case, all spans together")
    parser.add_argument("--spans", type=int, default=8)
    args = parser.parse_args()
    s, spans = args.seconds, args.spans
    ours, floor = "precision_timer(1000)", "C loop calling Python"
    results = {"switch_interval_us": round(sys.getswitchinterval() * 1e6)}
    alone = taking_turns([(ours, precision_timer), (floor, c_loop)], s, spans)
    results["alone"] = {name: summary(runs, s) for name, runs in alone.items()}
    lowered = f"{floor}, same switch interval"
    tallies = {ours: BusyTally(), floor: BusyTally(), lowered: BusyTally(), "alone": BusyTally()}
    beside = taking_turns([(ours, lambda t: tallies[ours].run(precision_timer, t)),
                           (floor, lambda t: tallies[floor].run(c_loop, t)),
                           (lowered, lambda t: tallies[lowered].run(c_loop_lowered, t)),
                           ("alone", lambda t: tallies["alone"].run(None, t))], s, spans)
    results["beside a busy thread"] = {name: summary(beside[name], s) for name in (ours, floor, lowered)}
    results["busy thread turns per s"] = {"alone": tallies["alone"].rate(),
                                          f"beside {ours}": tallies[ours].rate(),
                                          "beside the C loop calling Python": tallies[floor].rate(),
                                          "beside the C loop, same switch interval": tallies[lowered].rate()}
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
