"""The demo's control loop (examples/motor_control.py with its live view, CSV
log and frame counting, four simulated drivers) against the same loop with
nothing else in the process, each on a precision timer and on the C loop that
calls Python (bench/timers/floor_module.c, the floor: what the machine allows
a loop in C). Lateness behind the grid and ticks skipped, from the demo's own
summary; the four runs follow each other, so a skip the machine forces shows
in the C loop's rows as well.

    PYTHONPATH=<build>/src:<build>/bench/timers python3 bench/demo_lateness.py --iface vcan0 [--seconds 20] [--rate 500]

Runs on an interface that is up, or under testing/vbus/run-with-vbus.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DRIVERS = ["--driver", "slot=0,id=0x201,mode=speed", "--driver", "slot=1,id=0x202,mode=speed",
           "--driver", "slot=2,id=0x203,mode=position", "--driver", "slot=3,id=0x204,mode=current"]
LATENESS = re.compile(r"lateness\s+p50 ([\d.]+) us, p99 (\d+) us, max (\d+) us; (\d+) ticks skipped")
SPIN_US = 800.0  # the precision timer's spin before each deadline

# Puts the C loop where the program asks for a precision timer: same rate, same
# spin, and the switch interval a precision timer of that rate sets.
C_LOOP = r"""
import sys, time, drovik, _timer_floor

class CLoop:
    # What the demo asks of a TimerHandle.
    def __init__(self, func, hz):
        self.hz, self.ticks, self.began = hz, 0, time.perf_counter()
        self.stamps = []
        def tick():
            self.stamps.append(time.perf_counter())
            self.ticks += 1
            func()
        self.loop = _timer_floor.start(tick, hz, SPIN_US)
    def frequency(self):
        return self.hz
    def tick_count(self):
        return self.ticks
    def actual_frequency(self):
        return self.ticks / (time.perf_counter() - self.began)
    def stop(self):
        _timer_floor.stop(self.loop)
    def timing(self):
        # The C loop keeps no account of its own: taken from its ticks as Python saw them.
        from motor_view import grid_lateness_us
        late = sorted(grid_lateness_us(self.stamps, 1.0 / self.hz))
        expected = round((self.stamps[-1] - self.stamps[0]) * self.hz) + 1
        return {"late_p50_us": late[len(late) // 2], "late_p99_us": late[len(late) * 99 // 100],
                "late_max_us": late[-1], "missed": expected - len(self.stamps), "call_p99_us": float("nan")}

loops = []

def c_loop(hz):
    def decorate(func):
        def start(*args):
            probe = drovik_precision_timer(hz)(lambda: None)()
            interval = sys.getswitchinterval()
            probe.stop()
            sys.setswitchinterval(interval)
            loops.append(CLoop(lambda: func(*args), hz))
            return loops[-1]
        return start
    return decorate

def block_until(**kwargs):
    outcome = drovik_block_until(**kwargs)
    for loop in loops:
        loop.stop()
    return outcome

drovik_precision_timer, drovik_block_until = drovik.precision_timer, drovik.block_until
drovik.precision_timer, drovik.block_until = c_loop, block_until
""".replace("SPIN_US", repr(SPIN_US))

# The demo program as it stands, or with the C loop in place of precision_timer.
DEMO = r"""
import runpy, sys
if sys.argv[1] == "c":
    exec(C_LOOP_CODE)
sys.argv = sys.argv[2:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""

# The loop alone: the same recorder and summary as the demo, nothing else running.
ALONE = r"""
import sys, time, drovik
from motor_view import grid_lateness_us
kind, rate, seconds = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
if kind == "c":
    exec(C_LOOP_CODE)
stamps = []
handle = drovik.precision_timer(rate)(lambda: stamps.append(time.perf_counter()))()
time.sleep(seconds)
handle.stop()
late = sorted(grid_lateness_us(stamps, 1.0 / rate))
period = 1.0 / rate
expected = round((stamps[-1] - stamps[0]) / period) + 1
print(f"lateness p50 {late[len(late) // 2]:.1f} us, "
      f"p99 {late[len(late) * 99 // 100]:.0f} us, max {late[-1]:.0f} us; {expected - len(stamps)} ticks skipped")
"""


def figures(run):
    match = LATENESS.search(run.stdout)
    if not match:
        raise RuntimeError(f"no lateness summary in: {run.stdout[-2000:]}{run.stderr[-2000:]}")
    p50, p99, worst, skipped = match.groups()
    return {"p50_us": round(float(p50)), "p99_us": int(p99), "max_us": int(worst), "skipped": int(skipped)}


def child(code):
    return ["-c", f"C_LOOP_CODE = {C_LOOP!r}\n" + code]


def demo(kind, iface, seconds, rate):
    env = dict(os.environ, PYTHONPATH=f"{ROOT / 'testing'}:{ROOT / 'examples'}:" + os.environ.get("PYTHONPATH", ""))
    sim = subprocess.Popen([sys.executable, "-m", "motor_sim", "--iface", iface, "--broadcast-id", "0x100",
                            "--rate", "200", *DRIVERS], stdout=subprocess.PIPE, text=True, env=env)
    try:
        sim.stdout.readline()  # ready
        with tempfile.TemporaryDirectory() as out:
            run = subprocess.run([sys.executable, *child(DEMO), kind, str(ROOT / "examples/motor_control.py"),
                                  "--iface", iface, "--seconds", str(seconds), "--rate", str(rate),
                                  "--log", f"{out}/log.csv"],
                                 capture_output=True, text=True, env=env, timeout=seconds + 120, cwd=out)
        return figures(run)
    finally:
        sim.terminate()
        sim.wait()


def alone(kind, seconds, rate):
    env = dict(os.environ, PYTHONPATH=f"{ROOT / 'examples'}:" + os.environ.get("PYTHONPATH", ""))
    return figures(subprocess.run([sys.executable, *child(ALONE), kind, str(rate), str(seconds)],
                                  capture_output=True, text=True, env=env, timeout=seconds + 60))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--rate", type=float, default=500.0)
    args = parser.parse_args()
    began = time.monotonic()
    results = {
        "demo": demo("timer", args.iface, args.seconds, args.rate),
        "demo on the C loop": demo("c", args.iface, args.seconds, args.rate),
        "timer alone": alone("timer", args.seconds, args.rate),
        "C loop alone": alone("c", args.seconds, args.rate),
        "load_average": os.getloadavg()[0],
    }
    results["seconds"] = round(time.monotonic() - began)
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
