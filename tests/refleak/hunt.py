"""Reference-leak hunt over every Python-facing operation of drovik.

Run with a debug interpreter (sys.gettotalrefcount) and a module built with
-DPy_DEBUG (Debian's debug headers pick the release pyconfig.h by a symlink, and
without it the module's own reference counting goes uncounted). Each operation
runs in a loop, first to warm caches up, then for several rounds; an operation
leaks when every round leaves the total reference count, or the allocated block
count, higher than before it. Exit status 1 names the leaking operations.

    PYTHONPATH=<build>/src python3.14-dbg tests/refleak/hunt.py [-k SUBSTRING]
"""

import argparse
import gc
import sys
import time

from operations import OPERATIONS

WARMUP_ROUNDS = 3
ROUNDS = 6
SETTLE_ROUNDS = 10
CALLS_PER_ROUND = 20
SETTLE_S = 2.0
# Growth, per round: one reference or block per two calls. Timers attach pool threads
# that come and go, whose interpreter state drifts by a few blocks a round: noise the
# interpreter's own one-per-round rule would take for a leak.
LEAST = CALLS_PER_ROUND // 2


def counts():
    """Once work still in flight has ended: a cancelled run_async call, say, runs on and
    lets its objects go whenever its thread gets there, which would read as noise of a
    few hundred references either way. Settled means two looks a few ms apart agree."""
    deadline = time.monotonic() + SETTLE_S
    last = None
    while True:
        gc.collect()
        now = (sys.gettotalrefcount(), sys.getallocatedblocks())
        if now == last or time.monotonic() > deadline:
            return now
        last = now
        time.sleep(0.005)


def rounds(operation):
    """What each round added, round after round. The same names hold the counts
    throughout, so from the second round on the counts' own objects cancel out."""
    refs = blocks = now_refs = now_blocks = 0
    while True:
        refs, blocks = counts()
        for _ in range(CALLS_PER_ROUND):
            operation()
        now_refs, now_blocks = counts()
        yield now_refs - refs, now_blocks - blocks


def growing(round_):
    return any(change >= LEAST for change in round_)


def deltas(operation):
    for _ in range(WARMUP_ROUNDS):
        for _ in range(CALLS_PER_ROUND):
            operation()
    # Growth that has a bound (a cache filling, threads the pool keeps for a while)
    # ends within a few rounds; a leak never does, and goes on to be measured as one.
    measured = rounds(operation)
    for _ in range(SETTLE_ROUNDS):
        if not growing(next(measured)):
            break
    return [next(measured) for _ in range(ROUNDS)]


def leaks(found):
    """The references or the blocks grew in every round."""
    return any(all(round_[kind] >= LEAST for round_ in found) for kind in (0, 1))


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("needs a debug build of CPython (sys.gettotalrefcount)")
    parser = argparse.ArgumentParser()
    parser.add_argument("-k", default="", help="only operations whose name contains this")
    chosen = [(name, op) for name, op in OPERATIONS if parser.parse_args().k in name]
    leaking = []
    for name, operation in chosen:
        found = deltas(operation)
        verdict = "LEAK" if leaks(found) else "ok"
        print(f"{verdict:4} {name}: refs {[d[0] for d in found]} blocks {[d[1] for d in found]}", flush=True)
        if verdict == "LEAK":
            leaking.append(name)
    print(f"{len(chosen)} operations, {len(leaking)} leaking")
    sys.exit(1 if leaking else 0)


if __name__ == "__main__":
    main()
