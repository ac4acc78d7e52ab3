"""The demo's control loop (examples/motor_control.py with its live view, CSV
log and frame counting, four simulated drivers) against the same precision
timer with nothing else in the process: lateness behind the grid and ticks
skipped, from the demo's own summary.

    python3 bench/demo_lateness.py --iface vcan0 [--seconds 15] [--rate 500]

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
LATENESS = re.compile(r"lateness\s+p50 (\d+) us, p90 (\d+) us, p99 (\d+) us, max (\d+) us; (\d+) ticks skipped")

# The timer alone: the same recorder and summary as the demo, nothing else running.
ALONE = r"""
import sys, time, drovik
from motor_view import grid_lateness_us
rate, seconds = float(sys.argv[1]), float(sys.argv[2])
stamps = []
handle = drovik.precision_timer(rate)(lambda: stamps.append(time.perf_counter()))()
time.sleep(seconds)
handle.stop()
late = sorted(grid_lateness_us(stamps, 1.0 / rate))
period = 1.0 / rate
expected = round((stamps[-1] - stamps[0]) / period) + 1
print(f"lateness p50 {late[len(late) // 2]:.0f} us, p90 {late[len(late) * 9 // 10]:.0f} us, "
      f"p99 {late[len(late) * 99 // 100]:.0f} us, max {late[-1]:.0f} us; {expected - len(stamps)} ticks skipped")
"""


def figures(text):
    match = LATENESS.search(text)
    if not match:
        raise RuntimeError(f"no lateness summary in: {text[-2000:]}")
    p50, p90, p99, worst, skipped = map(int, match.groups())
    return {"p50_us": p50, "p90_us": p90, "p99_us": p99, "max_us": worst, "skipped": skipped}


def demo(iface, seconds, rate):
    env = dict(os.environ, PYTHONPATH=f"{ROOT / 'testing'}:{ROOT / 'examples'}:" + os.environ.get("PYTHONPATH", ""))
    sim = subprocess.Popen([sys.executable, "-m", "motor_sim", "--iface", iface, "--broadcast-id", "0x100",
                            "--rate", "200", *DRIVERS], stdout=subprocess.PIPE, text=True, env=env)
    try:
        sim.stdout.readline()  # ready
        with tempfile.TemporaryDirectory() as out:
            run = subprocess.run([sys.executable, str(ROOT / "examples/motor_control.py"), "--iface", iface,
                                  "--seconds", str(seconds), "--rate", str(rate), "--log", f"{out}/log.csv"],
                                 capture_output=True, text=True, env=env, timeout=seconds + 120, cwd=out)
        return figures(run.stdout)
    finally:
        sim.terminate()
        sim.wait()


def alone(seconds, rate):
    env = dict(os.environ, PYTHONPATH=f"{ROOT / 'examples'}:" + os.environ.get("PYTHONPATH", ""))
    out = subprocess.run([sys.executable, "-c", ALONE, str(rate), str(seconds)], capture_output=True, text=True,
                         env=env, check=True, timeout=seconds + 60).stdout
    return figures(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--seconds", type=float, default=15.0)
    parser.add_argument("--rate", type=float, default=500.0)
    args = parser.parse_args()
    began = time.monotonic()
    results = {"demo": demo(args.iface, args.seconds, args.rate), "timer alone": alone(args.seconds, args.rate)}
    results["seconds"] = round(time.monotonic() - began)
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
