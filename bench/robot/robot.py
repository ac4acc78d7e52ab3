"""A robot-scale control loop: K buses, four position-mode drivers on each
(simulated in C by bench/robot/drivers.c, in a process of their own, so their
CPU is not the loop's), at 1 kHz. Each tick reads the four feedbacks, sets four
targets and broadcasts, per bus. Three loops doing the same work:

- drovik: a `Motor` per bus, the tick a `precision_timer(1000)`;
- stdlib: `time.sleep` to the next deadline, non-blocking sockets drained each
  tick, `struct`;
- python-can: the same loop on `Bus.recv(0)` / `Bus.send` (left out when
  python-can is not installed).

Each case runs in a fresh process; the cases take turns (rounds, rotated
order). Per case: CPU of the loop's process (all its threads) over the
measured span, interval error between successive ticks (p50/p99), feedback age
(how many ticks old the newest answer read was: 1 is the broadcast of the tick
before), ticks delivered and answers seen (a feedback newer than the one read
the tick before) against those expected.

    python3 bench/robot/robot.py [--buses 1,2,4,8] [--seconds 3] [--rounds 2] [--json]

On the virtual bus run it under testing/vbus/run-with-vbus --ifaces vcan0,...,vcan7;
on a kernel the interfaces vcan0..vcan{K-1} must exist.
"""

import argparse
import json
import os
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
HZ = 1000
PERIOD_NS = 1_000_000_000 // HZ
BROADCAST, FEEDBACK = 0x100, 0x201
FRAME = struct.Struct("<IB3x8s")
FEEDBACK_DATA = struct.Struct("<fhh")
TARGETS = struct.Struct("<hhhh")
FILTERS = [(FEEDBACK + slot, 0x7FF) for slot in range(4)]  # both loops let only the four answers through
WRAP = 30000  # tick numbers travel as int16 counts
START = (os.getpid() * 7919) % WRAP  # each process numbers its ticks from its own start
SETTLE_S = 0.5  # sockets opened, first answers in: not measured


def target_count(tick):
    return tick % WRAP


def interfaces(k):
    return [f"vcan{i}" for i in range(k)]


class Record:
    """What every loop keeps per tick, the same work for each."""

    def __init__(self, buses):
        self.stamps = []
        self.ages = []
        self.answers = 0
        self.last = [[-1] * 4 for _ in range(buses)]
        self.measuring = False

    def feedback(self, bus, slot, tick, echoed):
        echoed = int(echoed)
        # None yet, or one that looks ahead of this tick: an answer to an earlier process's broadcast that a
        # loaded driver sent late (that process counted from its own START; one that looks far behind shows
        # as old feedback).
        if echoed < 0 or (tick - echoed) % WRAP > WRAP // 2:
            return
        if echoed != self.last[bus][slot]:
            self.last[bus][slot] = echoed
            if self.measuring:
                self.answers += 1
        if self.measuring:
            self.ages.append((tick - echoed) % WRAP)


def drovik_loop(buses):
    import drovik

    record = Record(len(buses))
    groups = []
    for name in buses:
        motor = drovik.Motor(name, BROADCAST)
        groups.append((motor, [motor.add_device(slot, FEEDBACK + slot, "position") for slot in range(4)]))
    tick = [START]

    def step():
        now = time.perf_counter_ns()
        n = tick[0] = tick[0] + 1
        if record.measuring:
            record.stamps.append(now)
        target = (target_count(n) + 0.5) / 100  # position counts are hundredths
        for bus, (motor, devices) in enumerate(groups):
            for slot, device in enumerate(devices):
                record.feedback(bus, slot, n, device.get_watch_data()["position"])
            for device in devices:
                device.set_target(target)
            motor.broadcast()

    handle = drovik.precision_timer(HZ)(step)()
    return record, lambda: handle.stop()


def sleep_loop(record, step):
    """time.sleep to each deadline, skipping those a late tick missed (as the timers do); until step says done."""
    period = PERIOD_NS
    deadline = time.perf_counter_ns() + period
    n = START
    while True:
        now = time.perf_counter_ns()
        if now < deadline:
            time.sleep((deadline - now) / 1e9)
            now = time.perf_counter_ns()
        n += 1
        if record.measuring:
            record.stamps.append(now)
        if step(n):
            return
        deadline += period
        if deadline <= now:
            deadline += ((now - deadline) // period + 1) * period


def stdlib_step(buses, record):
    sockets = []
    for name in buses:
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER,
                     b"".join(struct.pack("=II", can_id, mask) for can_id, mask in FILTERS))
        s.bind((name,))
        s.setblocking(False)
        sockets.append(s)
    latest = [[-1.0] * 4 for _ in buses]

    def step(n):
        data = TARGETS.pack(*[target_count(n)] * 4)
        frame = FRAME.pack(BROADCAST, 8, data)
        for bus, s in enumerate(sockets):
            seen = latest[bus]
            while True:
                try:
                    raw = s.recv(16)
                except BlockingIOError:
                    break
                can_id, length, payload = FRAME.unpack(raw)
                slot = can_id - FEEDBACK
                if 0 <= slot < 4 and length == 8:
                    seen[slot] = FEEDBACK_DATA.unpack(payload)[0]
            for slot in range(4):
                record.feedback(bus, slot, n, seen[slot])
            try:
                s.send(frame)
            except BlockingIOError:
                pass  # a full queue drops this broadcast: it shows as answers missing

    return step


def python_can_step(buses, record):
    import can

    handles = [can.Bus(interface="socketcan", channel=name,
                       can_filters=[{"can_id": can_id, "can_mask": mask, "extended": False}
                                    for can_id, mask in FILTERS]) for name in buses]
    latest = [[-1.0] * 4 for _ in buses]

    def step(n):
        message = can.Message(arbitration_id=BROADCAST, data=TARGETS.pack(*[target_count(n)] * 4),
                              is_extended_id=False)
        for bus, handle in enumerate(handles):
            seen = latest[bus]
            while (got := handle.recv(0)) is not None:
                slot = got.arbitration_id - FEEDBACK
                if 0 <= slot < 4 and got.dlc == 8:
                    seen[slot] = FEEDBACK_DATA.unpack(got.data)[0]
            for slot in range(4):
                record.feedback(bus, slot, n, seen[slot])
            try:
                handle.send(message, timeout=0)
            except can.CanError:
                pass  # as in the stdlib loop: shows as answers missing

    return step


def percentile(values, q):
    return values[min(len(values) - 1, int(len(values) * q))] if values else None


def child(loop, k, seconds):
    buses = interfaces(k)
    if loop == "drovik":
        record, stop = drovik_loop(buses)
        time.sleep(SETTLE_S)
        record.measuring = True
        before, wall = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
        time.sleep(seconds)
        record.measuring = False
        after, wall = resource.getrusage(resource.RUSAGE_SELF), time.monotonic() - wall
        stop()
    else:
        record = Record(k)
        step = (stdlib_step if loop == "stdlib" else python_can_step)(buses, record)
        marks = {}

        def timed(n):
            # The measured span opens and closes inside the loop, as the timer's does around its calls.
            now = time.monotonic()
            if not record.measuring and "start" not in marks and now >= marks["begin"]:
                marks["start"] = (resource.getrusage(resource.RUSAGE_SELF), now)
                record.measuring = True
            elif record.measuring and now >= marks["start"][1] + seconds:
                marks["stop"] = (resource.getrusage(resource.RUSAGE_SELF), now)
                record.measuring = False
                return True
            step(n)
            return False

        marks["begin"] = time.monotonic() + SETTLE_S
        sleep_loop(record, timed)
        (before, t0), (after, t1) = marks["start"], marks["stop"]
        wall = t1 - t0
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    stamps = record.stamps
    errors = sorted(abs((b - a) - PERIOD_NS) / 1000 for a, b in zip(stamps, stamps[1:]))
    ages = sorted(record.ages)
    ticks = len(stamps)
    return {
        "cpu_percent": round(100 * cpu / wall, 1),
        "p50_us": round(percentile(errors, 0.5), 1),
        "p99_us": round(percentile(errors, 0.99), 1),
        "ticks": ticks,
        "ticks_expected": round(wall * HZ),
        "answers": record.answers,
        "answers_expected": 4 * k * ticks,
        "age_p50_ticks": percentile(ages, 0.5),
        "age_p99_ticks": percentile(ages, 0.99),
    }


def available_loops():
    loops = ["drovik", "stdlib"]
    try:
        import can  # noqa: F401

        loops.append("python-can")
    except ImportError:
        print("robot: python-can is not installed: its column is left out", file=sys.stderr)
    return loops


def build_drivers():
    out = Path(tempfile.mkdtemp(prefix="robot-drivers.")) / "drivers"
    subprocess.run(["cc", "-O2", "-o", str(out), str(HERE / "drivers.c")], check=True)
    return out


def merge(runs):
    """Per case over the rounds: sums of counts, the worse of each figure."""
    keys_sum = ("ticks", "ticks_expected", "answers", "answers_expected")
    merged = {}
    for r in runs:
        for key, value in r.items():
            if key in keys_sum:
                merged[key] = merged.get(key, 0) + value
            else:
                merged.setdefault(key, []).append(value)
    return merged


def run(ks, seconds, rounds):
    drivers = build_drivers()
    feeder = subprocess.Popen([str(drivers), *interfaces(max(ks))], stdout=subprocess.PIPE, text=True)
    try:
        assert feeder.stdout.readline().strip() == "ready"
        loops = available_loops()
        cases = [(k, loop) for k in ks for loop in loops]
        runs = {case: [] for case in cases}
        for index in range(rounds):
            shift = index * len(loops) % len(cases) + index % len(loops)
            for k, loop in cases[shift:] + cases[:shift]:
                out = subprocess.run([sys.executable, __file__, "--child", loop, "--buses", str(k), "--seconds",
                                      str(seconds)], capture_output=True, text=True, timeout=120 + seconds)
                if out.returncode != 0:
                    raise RuntimeError(f"robot: {loop} with {k} buses failed:\n{out.stderr}")
                runs[(k, loop)].append(json.loads(out.stdout.strip().splitlines()[-1]))
                print(f"robot: K={k} {loop}: {runs[(k, loop)][-1]}", file=sys.stderr, flush=True)
    finally:
        feeder.kill()
        feeder.wait()
    return {"seconds": seconds, "rounds": rounds, "loops": loops,
            "cases": {f"{k} {loop}": merge(r) for (k, loop), r in runs.items()}}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--buses", default="1,2,4,8")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--child")
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child, int(args.buses), args.seconds)))
        return
    result = run([int(k) for k in args.buses.split(",")], args.seconds, args.rounds)
    print(json.dumps(result, indent=2 if args.json else None))


if __name__ == "__main__":
    main()
