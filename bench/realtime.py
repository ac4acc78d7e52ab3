"""The real-time opt-in on a busy machine: with two CPU-bound processes beside it, precision_timer(1000) and the
CAN control round trip under default scheduling and with DROVIK_RT_PRIORITY, in one run; the stdlib socket
loop beside them, blocking and polling (the control loop polls), each under default scheduling and raised to
the same priority. Also what DROVIK_RT_MLOCK=1 costs in memory.

    PYTHONPATH=<build>/src testing/vbus/run-with-vbus -- python3 bench/realtime.py [--seconds 3] [--priority 80]

Each case runs in a fresh process (the variables are read when its first precision timer starts). On the
virtual bus the hub stands in for the kernel, so it runs at the same priority in every case (SCHED_FIFO 90
when permitted), and so does the peer that stands in for the motor driver.
"""
import argparse
import json
import os
import socket
import struct
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "testing" / "vbus"))
from peer import FRAME  # noqa: E402
from vbus_control import hub_pid  # noqa: E402

HUB_AND_PEER_PRIORITY = 90
BROADCAST_ID, FEEDBACK_ID = 0x100, 0x201

# The driver: answers every broadcast at once, its slot-0 count as the position.
PEER = r"""
import socket, struct, sys
frame = struct.Struct(sys.argv[2])
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, struct.pack("=II", 0x100, 0x7FF))
s.bind((sys.argv[1],))
print("ready", flush=True)
while True:
    can_id, _, data = frame.unpack(s.recv(16))
    count = struct.unpack_from("<h", data)[0]
    s.send(frame.pack(0x201, 8, struct.pack("<fhh", float(count), 0, 0)))
"""
HOG = "while True: pass"


def interval_errors(stamps, period_ns):
    return sorted(abs((b - a) - period_ns) / 1e3 for a, b in zip(stamps, stamps[1:]))


def percentiles(values):
    if not values:
        return {"p50_us": None, "p99_us": None, "max_us": None}
    return {"p50_us": round(values[len(values) // 2], 1), "p99_us": round(values[len(values) * 99 // 100], 1),
            "max_us": round(values[-1], 1)}


def scheduling_of(tid):
    policy = os.sched_getscheduler(tid) & ~0x40000000
    return f"SCHED_FIFO {os.sched_getparam(tid).sched_priority}" if policy == os.SCHED_FIFO else "default"


def timer_thread():
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/comm") as comm:
            if comm.read().startswith("timer-"):
                return int(tid)
    return None


def child_timer(seconds):
    import drovik
    stamps = []
    handle = drovik.precision_timer(1000.0)(lambda: stamps.append(time.perf_counter_ns()))()
    time.sleep(0.2)
    scheduling = scheduling_of(timer_thread())
    del stamps[:]
    time.sleep(seconds)
    handle.stop()
    stamps = list(stamps)
    errors = interval_errors(stamps, 1e6)
    return dict(percentiles(errors), ticks=len(stamps), expected=round(seconds * 1000),
                over_100us=sum(e > 100 for e in errors), scheduling=scheduling)


def child_control(seconds, iface):
    """At 200 Hz, inside a precision timer: set a target, broadcast, wait for the answer in get_watch_data()."""
    import drovik
    motor = drovik.Motor(iface, BROADCAST_ID)
    device = motor.add_device(0, FEEDBACK_ID, "current")  # scale 100: target n gives count 100 n
    state = {"n": 0, "latencies": [], "lost": 0, "measuring": False}

    def round_trip():
        state["n"] = state["n"] % 300 + 1
        expected = 100.0 * state["n"]
        device.set_target(float(state["n"]))
        sent = time.perf_counter_ns()
        motor.broadcast()
        deadline = sent + 20_000_000
        while device.get_watch_data()["position"] != expected:
            now = time.perf_counter_ns()
            if now > deadline:
                state["lost"] += state["measuring"]
                return
            # Read as a control loop would, not back to back: a reader that never lets go of the watch
            # lock measures only its own contention.
            while time.perf_counter_ns() < now + 10_000:
                pass
        if state["measuring"]:
            state["latencies"].append((time.perf_counter_ns() - sent) / 1e3)

    handle = drovik.precision_timer(200.0)(round_trip)()
    time.sleep(1.0)  # the motor's socket opens and the first answers come back
    scheduling = scheduling_of(timer_thread())
    state["measuring"] = True
    time.sleep(seconds)
    state["measuring"] = False
    handle.stop()
    return dict(percentiles(sorted(state["latencies"])), samples=len(state["latencies"]), lost=state["lost"],
                scheduling=scheduling)


def child_socket(seconds, iface, polling):
    """The same round trip on Python's socket module, paced at 200 Hz by the main thread: the answer waited for in
    a blocking recv, or (polling) read with MSG_DONTWAIT at the control loop's pace. Under the opt-in
    (DROVIK_RT_PRIORITY=N in the environment) the loop raises its one thread to SCHED_FIFO N, as drovik raises
    its timer thread."""
    priority = os.environ.get("DROVIK_RT_PRIORITY")
    if priority:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(int(priority)))
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, struct.pack("=II", FEEDBACK_ID, 0x7FF))
    s.settimeout(0.02)
    s.bind((iface,))

    def answer(n, sent):
        expected = 100.0 * n
        if not polling:
            while struct.unpack_from("<f", FRAME.unpack(s.recv(16))[2])[0] != expected:
                pass
            return True
        deadline = sent + 20_000_000
        while True:
            try:
                if struct.unpack_from("<f", FRAME.unpack(s.recv(16, socket.MSG_DONTWAIT))[2])[0] == expected:
                    return True
            except BlockingIOError:
                pass
            now = time.perf_counter_ns()
            if now > deadline:
                return False
            while time.perf_counter_ns() < now + 10_000:  # the control loop's pause between reads
                pass

    latencies, lost, n = [], 0, 0
    start = time.perf_counter()
    next_tick = start
    while time.perf_counter() < start + 1.0 + seconds:
        n = n % 300 + 1
        sent = time.perf_counter_ns()
        s.send(FRAME.pack(BROADCAST_ID, 8, struct.pack("<hhhh", 100 * n, 0, 0, 0)))
        measuring = time.perf_counter() > start + 1.0
        try:
            got = answer(n, sent)
        except socket.timeout:
            got = False
        if got and measuring:
            latencies.append((time.perf_counter_ns() - sent) / 1e3)
        lost += measuring and not got
        next_tick += 0.005
        time.sleep(max(0.0, next_tick - time.perf_counter()))
    scheduling = f"SCHED_FIFO {priority}" if priority else "default"
    return dict(percentiles(sorted(latencies)), samples=len(latencies), lost=lost, scheduling=scheduling)


def child_memory(up_front):
    """Resident and locked memory of a process with a precision timer, a normal timer and a few jobs."""
    if up_front:  # the alternative not offered: lock every mapping, faulting it all in now and at each mmap
        import ctypes
        ctypes.CDLL(None, use_errno=True).mlockall(1 | 2)  # MCL_CURRENT | MCL_FUTURE
    import drovik
    handles = [drovik.precision_timer(1000.0)(lambda: None)(), drovik.timer(100.0)(lambda: None)()]
    for job in [drovik.run_async(time.sleep)(0.01) for _ in range(4)]:
        job.wait()
    time.sleep(0.5)
    status = dict(line.split(":", 1) for line in open("/proc/self/status"))
    for handle in handles:
        handle.stop()
    return {key: int(status[key].split()[0]) for key in ("VmRSS", "VmLck", "Threads")}



def raise_process(pid):
    """SCHED_FIFO for every thread of pid; False when refused."""
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            os.sched_setscheduler(int(tid), os.SCHED_FIFO, os.sched_param(HUB_AND_PEER_PRIORITY))
        return True
    except OSError:
        return False


def run_child(kind, seconds, iface, env):
    out = subprocess.run([sys.executable, __file__, "--child", kind, "--seconds", str(seconds), "--iface", iface],
                         env=dict(os.environ, **env), capture_output=True, text=True, check=True, timeout=120)
    result = json.loads(out.stdout.splitlines()[-1])
    result["stderr"] = out.stderr.strip()
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--priority", type=int, default=80)
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--child", choices=["timer", "control", "socket", "socket-polling", "memory",
                                            "memory-up-front"])
    args = parser.parse_args()
    if args.child:
        run = {"timer": lambda: child_timer(args.seconds),
               "control": lambda: child_control(args.seconds, args.iface),
               "socket": lambda: child_socket(args.seconds, args.iface, polling=False),
               "socket-polling": lambda: child_socket(args.seconds, args.iface, polling=True),
               "memory": lambda: child_memory(False),
               "memory-up-front": lambda: child_memory(True)}[args.child]
        print(json.dumps(run()))
        return

    opt_in = {"DROVIK_RT_PRIORITY": str(args.priority)}
    peer = subprocess.Popen([sys.executable, "-c", PEER, args.iface, FRAME.format], stdout=subprocess.PIPE, text=True)
    hogs = []
    try:
        assert peer.stdout.readline().strip() == "ready"
        hub = hub_pid()
        bus = "kernel"
        if hub is not None:
            bus = f"virtual bus, hub and peer at SCHED_FIFO {HUB_AND_PEER_PRIORITY}"
            if not (raise_process(hub) and raise_process(peer.pid)):
                bus = "virtual bus, hub and peer at default scheduling (SCHED_FIFO refused)"
        hogs = [subprocess.Popen([sys.executable, "-c", HOG]) for _ in range(2)]
        results = {
            "timer default": run_child("timer", args.seconds, args.iface, {}),
            "timer opt-in": run_child("timer", args.seconds, args.iface, opt_in),
            "control default": run_child("control", args.seconds, args.iface, {}),
            "control opt-in": run_child("control", args.seconds, args.iface, opt_in),
            "socket default": run_child("socket", args.seconds, args.iface, {}),
            "socket opt-in": run_child("socket", args.seconds, args.iface, opt_in),
            "socket polling default": run_child("socket-polling", args.seconds, args.iface, {}),
            "socket polling opt-in": run_child("socket-polling", args.seconds, args.iface, opt_in),
        }
    finally:
        for process in hogs + [peer]:
            process.kill()
            process.wait()
    results["memory default"] = run_child("memory", args.seconds, args.iface, {})
    results["memory DROVIK_RT_MLOCK=1"] = run_child("memory", args.seconds, args.iface, {"DROVIK_RT_MLOCK": "1"})
    results["memory locked up front"] = run_child("memory-up-front", args.seconds, args.iface, {})
    results["setting"] = {"priority": args.priority, "hogs": len(hogs), "bus": bus, "seconds": args.seconds}
    for name, result in results.items():
        if name != "setting":
            print(f"{name:16} {result}", file=sys.stderr)
    print(json.dumps(results))


if __name__ == "__main__":
    main()
