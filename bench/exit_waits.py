"""The exit torture's "waiting" variant (daemon threads inside every module wait
that releases the GIL when the program ends) against the same program in plain
Python: daemon threads inside Thread.join, Event.wait, Lock.acquire,
Queue.get, Condition.wait and time.sleep with the same short time-outs, a
thread ticking at 1 kHz, and an exit handler that waits. The runs of the two
alternate beside the same CPU load; prints one JSON line with the counts of
each (ok, crash, hang, stray output).

    PYTHONPATH=<build>/src python3 bench/exit_waits.py [--runs 2000] [--load 2]

bench/exit_waits runs it on every interpreter the machine has.
"""

import argparse
import json
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
import exit_torture  # noqa: E402

PLAIN = "plain Python waiting"
exit_torture.VARIANTS[PLAIN] = """
import atexit, queue, random, threading, time
never = threading.Event()
atexit.register(never.wait, 0.05)
def busy():
    sum(range(100))
def tick():
    while True:
        busy()
        time.sleep(0.001)
threading.Thread(target=tick, daemon=True).start()
job = threading.Thread(target=time.sleep, args=(0.06,), daemon=True)
job.start()
held, empty, condition = threading.Lock(), queue.Queue(), threading.Condition()
held.acquire()
def ms():
    return random.randint(0, 3) / 1000
def waiting_on_condition():
    with condition:
        condition.wait(ms())
def again_and_again(wait):
    def loop():
        while True:
            try:
                wait()
            except queue.Empty:
                pass
    threading.Thread(target=loop, daemon=True).start()
again_and_again(lambda: job.join(ms()))
again_and_again(lambda: never.wait(ms()))
again_and_again(lambda: held.acquire(timeout=ms()))
again_and_again(lambda: empty.get(timeout=ms()))
again_and_again(waiting_on_condition)
again_and_again(lambda: time.sleep(ms()))
time.sleep(random.random() * 0.04)
print("exiting", flush=True)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--load", type=int, default=2, help="spinning processes beside")
    args = parser.parse_args()
    began = time.monotonic()
    counts, _ = exit_torture.torture(["waiting", PLAIN], args.runs, args.load,
                                     report=lambda line: print(line, file=sys.stderr, flush=True))
    print(json.dumps({"python": sys.version.split()[0], "runs": args.runs, "load": args.load,
                      "seconds": round(time.monotonic() - began), "counts": counts}))


if __name__ == "__main__":
    main()
