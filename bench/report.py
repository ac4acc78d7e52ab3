"""Runs every benchmark under bench/ once and writes bench/REPORT.md with its plots.

    python3 bench/report.py --build BUILD [--out bench] [--short]

BUILD is a CMake build of the project with DROVIK_BUILD_TESTS and
DROVIK_BUILD_MODULE on (bench_runtime, timer_floor, the module). Run it under
testing/vbus/run-with-vbus without kernel CAN; bench/run-all does all of that.
--short runs every benchmark with far fewer samples: the whole chain end to end
in a few minutes, figures too noisy to cite.
"""

import argparse
import json
import os
import platform
import re
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "robot"))
import robot_report  # noqa: E402

IFACE, FLOOD_IFACE = "vcan0", "vcan1"

# How much each benchmark runs: the full run, and the short one (--short) that only shows the chain works.
# bench/run-all starts the virtual bus with vcan0..vcan7 for the robot-scale loop; bench/guest_can.py raises them.
FULL = {
    "frames": 50000, "guest_frames": 20000, "platform_frames": 100000, "platform_trips": 3000,
    "trip_rounds": 20, "trips_per_round": 100, "queued_frames": 200000,
    "motor_calls": 100000, "motor_samples": 1000, "idle_seconds": 3,
    "robot": ("--buses", "1,2,4,8", "--seconds", 3, "--rounds", 2),
    "timer_seconds": 2, "lateness_seconds": 3, "contention_seconds": 6, "contention_spans": 12,
    "demo_seconds": 20, "async_trips": 3000, "async_batch": 20000, "async_queued": 100000, "signals": 10,
    "realtime_seconds": 3, "spin_seconds": 1, "spin_rounds": 8,
}
SHORT = dict(FULL, **{
    "frames": 5000, "guest_frames": 2000, "platform_frames": 10000, "platform_trips": 300,
    "trip_rounds": 4, "trips_per_round": 25, "queued_frames": 20000,
    "motor_calls": 10000, "motor_samples": 200, "idle_seconds": 1,
    "robot": ("--buses", "1,8", "--seconds", 1, "--rounds", 1),
    "timer_seconds": 0.5, "lateness_seconds": 0.5, "contention_seconds": 1, "contention_spans": 4,
    "demo_seconds": 3, "async_trips": 300, "async_batch": 2000, "async_queued": 10000, "signals": 3,
    "realtime_seconds": 0.5, "spin_seconds": 0.3, "spin_rounds": 2,
})

# Idle CPU, each in a fresh process: set up, let it settle, then measure a quiet stretch.
IDLE_MEASURE = r"""
import resource, sys, time
time.sleep(0.5)
before, wall = resource.getrusage(resource.RUSAGE_SELF), time.monotonic()
time.sleep(float(sys.argv[2]))
after = resource.getrusage(resource.RUSAGE_SELF)
cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
print(100 * cpu / (time.monotonic() - wall))
"""
DROVIK_IDLE = r"""
import sys, drovik
motor = drovik.Motor(sys.argv[1], 0x100)
devices = [motor.add_device(slot, 0x201 + slot, "speed") for slot in range(4)]
""" + IDLE_MEASURE
PYTHON_CAN_IDLE = r"""
import sys, can
bus = can.Bus(interface="socketcan", channel=sys.argv[1])
notifier = can.Notifier(bus, [lambda message: None])
""" + IDLE_MEASURE


def run(*command, json_out=True, env_path=None):
    started = time.monotonic()
    print(f"report: {' '.join(map(str, command))}", file=sys.stderr, flush=True)
    env = dict(os.environ)
    if env_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [env.get("PYTHONPATH"), env_path]))
    out = subprocess.run(list(map(str, command)), capture_output=True, text=True, check=True, timeout=600,
                         env=env).stdout
    print(f"report:   {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)
    if not json_out:
        return out
    try:
        return json.loads(out)
    except json.JSONDecodeError:  # a script that prints progress first: its figures are the last line
        return json.loads(out.strip().splitlines()[-1])


def python(script, *args, json_out=True):
    return run(sys.executable, HERE / script, *args, json_out=json_out)


def ratio(ours, theirs, higher_is_better):
    if not ours or not theirs:
        return "—"
    value = ours / theirs if higher_is_better else theirs / ours
    return f"{value:.2f}x {'better' if value >= 1 else 'worse'}"


def figure(value):
    if value is None:
        return "—"
    if isinstance(value, int) or value.is_integer() or abs(value) >= 1000:
        return str(round(value))  # counts and rates in full, not as 1.2e+07
    return f"{value:g}"


def table(rows, what="drovik", against="alternative"):
    """rows: (measure, ours_name, ours, theirs_name, theirs, unit, higher_is_better[, why no ratio]); a row
    whose two sides do not compare like for like carries the reason instead of a ratio."""
    lines = [f"| measure | {what} | {against} | figure | ratio (drovik vs alternative) |", "|---|---|---|---|---|"]
    for measure, ours_name, ours, theirs_name, theirs, unit, higher_is_better, *why_not in rows:
        shown = f"— ({why_not[0]})" if why_not and why_not[0] else ratio(ours, theirs, higher_is_better)
        lines.append(f"| {measure} | {ours_name}: {figure(ours)} | {theirs_name}: {figure(theirs)} "
                     f"| {unit} | {shown} |")
    return "\n".join(lines)


def load_average():
    return " / ".join(f"{value:.2f}" for value in os.getloadavg())


def machine():
    model = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                  if line.startswith("model name")), platform.processor() or "unknown")
    bus = "the virtual bus (testing/vbus)" if os.environ.get("DROVIK_VBUS") else "the kernel's vcan"
    return "\n".join([
        f"- Date: {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC",
        f"- CPU: {model}, {os.cpu_count()} cores (a shared virtual machine, so figures vary between "
        "runs; ratios within one run are the meaningful part)",
        f"- Kernel: {platform.system()} {platform.release()}",
        f"- Python: {platform.python_implementation()} {platform.python_version()}",
        f"- CAN: {bus}, interfaces {IFACE} and {FLOOD_IFACE}",
    ])


def runtime_section(build):
    out = run(Path(build) / "bench/runtime/bench_runtime", json_out=False)
    rows = ["| measure | figure |", "|---|---|"]
    group = ""
    for line in out.splitlines():
        if line.endswith(":"):
            group = line[:-1] + ": "
            continue
        name, _, figure = re.sub(r"\s{2,}", "\t", line.strip(), count=1).partition("\t")
        rows.append(f"| {group if line.startswith('  ') else ''}{name} | {figure.strip() or '—'} |")
    return ("The C++ runtime alone (`bench_runtime`); there is no Python alternative to run it against.\n\n"
            + "\n".join(rows))


# Each drovik loop against the hand-written loops that wait the same way: blocking readers against blocking
# readers, the Motor loop (which reads get_watch_data() back to back) against a socket read back to back.
ROUND_TRIP_PAIRS = [
    ("CanDevice", "send + receive", ["socket (stdlib)", "python-can"]),
    ("CanDeviceNonBlocking", "send + receive_timeout", ["socket (stdlib)", "python-can"]),
    ("Motor control", "set_target + broadcast, get_watch_data until it shows", ["socket, spinning recv"]),
]
# Blocking senders against blocking senders; CanDeviceNonBlocking.send queues, so only what it delivered compares.
BLOCKING_SENDERS = ("CanDevice.send", ["socket.send", "python-can Bus.send"])
QUEUEING_SENDER = ("CanDeviceNonBlocking.send", ["socket.send", "python-can Bus.send"])
GUEST_FIGURES = HERE / "guest_can.json"


def can_figures(size, frames):
    """The CAN benchmarks of one platform (bench/guest-can runs the same in the guest)."""
    return {
        "round_trips": python("round_trips.py", "--iface", IFACE, "--rounds", size["trip_rounds"], "--per-round",
                              size["trips_per_round"], "--json"),
        "send": python("can_send.py", "--iface", IFACE, "--frames", frames, "--json"),
        "queued": python("queued_bytes.py", "--iface", IFACE, "--frames", size["queued_frames"], "--json"),
    }


def delivered(name, figures):
    return f"{name} ({figures['delivered']} of {figures.get('offered', '?')} delivered)"


def unequal_delivery(ours, theirs):
    """Why two delivery rates do not compare: a sender that lost frames did less work in its span."""
    if ours["delivered"] != theirs["delivered"]:
        return "not the same count delivered"
    return None


def not_all_delivered(ours, theirs):
    """Calls per second count only when every call's frame arrived, on both sides."""
    if any(side["delivered"] != side.get("offered") for side in (ours, theirs)):
        return "not every frame delivered"
    return None


def can_tables(figures):
    trips, send, queued = figures["round_trips"], figures["send"], figures["queued"]
    rows = []
    for name, how, alternatives in ROUND_TRIP_PAIRS:
        ours = trips[name]
        for alternative in alternatives:
            if alternative in trips:
                theirs = trips[alternative]
                for q in ("p50", "p99"):
                    rows.append((f"round trip {q} ({how})", f"{name} ({ours.get('trips', '?')} trips)",
                                 ours[f"{q}_us"], f"{alternative} ({theirs.get('trips', '?')} trips)",
                                 theirs[f"{q}_us"], "us", False))
    ours_name, alternatives = BLOCKING_SENDERS
    for alternative in alternatives:
        if ours_name in send and alternative in send:
            ours, theirs = send[ours_name], send[alternative]
            rows += [("blocking send calls per s", delivered(ours_name, ours), ours["send_calls_per_s"],
                      delivered(alternative, theirs), theirs["send_calls_per_s"], "calls/s", True,
                      not_all_delivered(ours, theirs)),
                     ("frames delivered per s, first send to last frame received", delivered(ours_name, ours),
                      ours["delivered_per_s"], delivered(alternative, theirs), theirs["delivered_per_s"],
                      "frames/s", True, unequal_delivery(ours, theirs))]
    ours_name, alternatives = QUEUEING_SENDER
    for alternative in alternatives:
        if ours_name in send and alternative in send:
            ours, theirs = send[ours_name], send[alternative]
            rows.append(("frames delivered per s, first send to last frame received", delivered(ours_name, ours),
                         ours["delivered_per_s"], delivered(alternative, theirs), theirs["delivered_per_s"],
                         "frames/s", True, unequal_delivery(ours, theirs)))
    ours = queued["CanDeviceNonBlocking"]
    theirs = queued.get("python-can Notifier + BufferedReader")

    def held(name, figures):
        return f"{name} ({figures.get('frames_queued', '?')} of {figures.get('frames_sent', '?')} queued)"

    rows.append(("memory per received frame queued unread", held("CanDeviceNonBlocking", ours),
                 ours["bytes_per_frame"], held("python-can BufferedReader", theirs) if theirs else "python-can",
                 theirs["bytes_per_frame"] if theirs else None, "bytes", False))
    return table(rows)


def can_section(size):
    figures = can_figures(size, size["frames"])
    bus = python("can_platform.py", "--iface", IFACE, "--frames", size["platform_frames"], "--round-trips",
                 size["platform_trips"])
    text = [
        can_tables(figures),
        "Round trips (`round_trips.py`): a responder process answers each request 0x100 with a feedback frame "
        "0x201 carrying the request's number; each loop times request -> answer visible to Python, the loops "
        f"taking turns in {size['trip_rounds']} rounds of {size['trips_per_round']} (the guest's speed "
        "changes within a run: short rounds spread that over all loops). The Motor loop reads `get_watch_data()` "
        "back to back, holding the interpreter lock and a processor, so it is set against a socket read back to "
        "back (`recv(MSG_DONTWAIT)` until the answer shows); the blocking devices against blocking readers. Sends "
        "(`can_send.py`): 8-byte frames as fast as the loop goes, counted by a stdlib receiver in another process; "
        "calls per second compare only among blocking senders (`CanDeviceNonBlocking.send` returns once the frame "
        "is queued), and every rate of frames delivered is over the whole span from the first send call to the "
        "last frame received, the count delivered beside it; a ratio of rates only where both sides delivered the "
        "same count (a sender that lost frames did less work in its span), of calls only where both delivered all. "
        "Memory (`queued_bytes.py`): resident memory per frame left unread in the receive queue.",
        f"The bus itself (Python sockets at both ends, `can_platform.py`): {bus['frames_per_second']} frames/s "
        f"({bus['frames_received']} of {bus['frames_sent']} received), one-way latency p50 "
        f"{bus['one_way_us_p50']} us, p99 {bus['one_way_us_p99']} us.",
    ]
    if GUEST_FIGURES.exists():
        guest = json.loads(GUEST_FIGURES.read_text())
        text += [f"### On a real kernel's vcan (user-mode Linux guest, one CPU, CPython {guest['python']}, "
                 f"taken {guest['taken']} by `bench/guest-can`{', short run' if guest.get('short') else ''})",
                 can_tables(guest["figures"])]
    else:
        text.append("The real kernel's figures are missing: run `bench/guest-can` (it writes bench/guest_can.json).")
    return "\n\n".join(text)


def motor_section(size):
    motor = python("motor.py", "--iface", IFACE, "--flood-iface", FLOOD_IFACE, "--calls", size["motor_calls"],
                   "--samples", size["motor_samples"], "--idle-seconds", size["idle_seconds"], "--json")
    ours, theirs = motor["broadcast"]["Motor.broadcast()"], motor["broadcast"]["struct + socket.send"]
    feedback, by_hand = motor["feedback_latency"], motor["feedback_latency_socket"]
    rows = [
        ("one broadcast call of four targets", delivered("Motor.broadcast()", ours), ours["ns_per_call"],
         delivered("struct + blocking socket.send", theirs), theirs["ns_per_call"], "ns/call", False,
         "broadcast() queues, send() blocks: the rate delivered compares"),
        ("broadcasts delivered per s, first call to last frame received", delivered("Motor.broadcast()", ours),
         ours["delivered_per_s"], delivered("struct + blocking socket.send", theirs), theirs["delivered_per_s"],
         "frames/s", True, unequal_delivery(ours, theirs)),
    ] + [(f"feedback frame written -> visible, {q}", f"get_watch_data() ({feedback['samples']} frames)",
          feedback[f"{q}_us"], f"socket drained non-blocking ({by_hand['samples']} frames)", by_hand[f"{q}_us"], "us",
          False) for q in ("p50", "p99")]
    return table(rows) + (f"\n\nFeedback latency max: {feedback['max_us']} us (the socket's: {by_hand['max_us']} us). "
                          "Both readers look every 10 us, as a fast control loop would; the broadcasts go out on "
                          f"{FLOOD_IFACE} to a stdlib receiver in another process."), motor


def robot_section(size, out_dir):
    results = {"virtual bus": python("robot/robot.py", *size["robot"], "--json")}
    taken = json.loads(GUEST_FIGURES.read_text()) if GUEST_FIGURES.exists() else {}
    guest = taken.get("robot")
    if guest:
        results["guest's vcan"] = guest
    png = out_dir / "robot.png"
    robot_report.plot(results, png)
    host = results["virtual bus"]
    text = [
        "`bench/robot/robot.py`: K buses, a `Motor` with four position-mode drivers on each; the drivers are "
        "simulated in C (`bench/robot/drivers.c`, a process of its own, its CPU not counted) and answer every "
        "broadcast at once. Each 1 kHz tick reads the four feedbacks, sets four targets and broadcasts, per bus: "
        "drovik's `precision_timer(1000)` against the same loop on `time.sleep` to the next deadline with "
        "non-blocking sockets and `struct`, and on python-can (`recv(0)` / `send`). Each case in a fresh process, "
        f"{host['seconds']:g} s measured, the cases taking turns in {host['rounds']} rounds; a range is the rounds' "
        "spread, a ratio is taken within a round (CPU: how many times the other loop's CPU drovik uses; p99: how "
        "many times better drovik's interval error p99 is). CPU is the loop's process, all its threads; age is "
        "how many ticks old the newest feedback read was (1: the broadcast of the tick before); answers count "
        "feedbacks newer than the one read the tick before, against four per bus and tick.",
        "On the virtual bus:",
        robot_report.table(host),
    ]
    if guest:
        text += [f"On the guest's kernel vcan (one CPU; taken {taken['taken']} by `bench/guest-can`"
                 f"{', short run' if taken.get('short') else ''}):", robot_report.table(guest)]
    else:
        text.append("The guest's figures are missing: run `bench/guest-can`.")
    text.append(f"![CPU and interval error p99 against K]({png.name})")
    return "\n\n".join(text)


def timer_section(size, build, out_dir):
    text = python("timers.py", "--floor", Path(build) / "bench/timers/timer_floor", "--seconds", size["timer_seconds"],
                  json_out=False)
    figures = {}
    for line in text.splitlines():
        match = re.match(r"(.+?)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$", line)
        if match:
            figures[match.group(1).strip()] = [float(x) for x in match.groups()[1:]]
    pairs = [
        ("precision_timer(1000)", "time.sleep loop 1000 Hz"),
        ("precision_timer(1000)", "time.sleep + 800 us spin loop 1000 Hz"),
        ("precision_timer(1000, realtime=True)", "Event.wait loop 1000 Hz"),
        ("precision_timer(1000, realtime=True)", "time.sleep + 3 ms spin loop 1000 Hz"),
        ("timer(100)", "time.sleep loop 100 Hz"),
        ("timer(1000)", "time.sleep loop 1000 Hz"),
    ]
    rows = []
    for ours, theirs in pairs:
        if ours in figures and theirs in figures:
            rows += [("interval error p50", ours, figures[ours][0], theirs, figures[theirs][0], "us", False),
                     ("interval error p99", ours, figures[ours][1], theirs, figures[theirs][1], "us", False),
                     ("achieved rate", ours, figures[ours][3], theirs, figures[theirs][3], "Hz", True)]
    plot = out_dir / "timer_lateness.png"
    lateness = python("report_lateness.py", "--png", plot, "--seconds", size["lateness_seconds"])
    late_rows = ["| loop | ticks | p50 us | p99 us | max us |", "|---|---|---|---|---|"]
    late_rows += [f"| {name} | {v['ticks']} | {v['p50_us']} | {v['p99_us']} | {v['max_us']} |"
                  for name, v in lateness.items()]
    floors = [f"| {name} | {v[0]} | {v[1]} | {v[2]} | {v[3]} |" for name, v in figures.items()
              if name.startswith("C floor") or "20000" in name]
    return "\n\n".join([
        f"Error of each interval between successive calls against the period (`bench/timers.py`, "
        f"{size['timer_seconds']:g} s per loop, one after the other; every loop skips the deadlines a late tick "
        "missed, as the timers do; each precision timer against a blocking loop and against the loop that spins "
        "its fixed threshold, 800 us or 3 ms):",
        table(rows),
        "The sleep-then-spin loop in C without Python (the floor), and the realtime mode above 10 kHz:",
        "| loop | p50 us | p99 us | max us | rate Hz |\n|---|---|---|---|---|\n" + "\n".join(floors),
        f"Lateness of each tick behind its deadline at 1000 Hz (`bench/report_lateness.py`, "
        f"{size['lateness_seconds']:g} s per loop):",
        "\n".join(late_rows),
        "Every loop skips the deadlines a late tick missed (fewer ticks, none bunched), so the ticks count "
        "alike.",
        f"![tick lateness]({plot.name})",
    ])


def contention_section(size, build):
    env_path = f"{Path(build) / 'bench/timers'}"
    r = run(sys.executable, HERE / "timer_contention.py", "--seconds", size["contention_seconds"], "--spans",
            size["contention_spans"], env_path=env_path)
    alone, busy = r["alone"], r["beside a busy thread"]
    ours, floor = "precision_timer(1000)", "C loop calling Python"
    lowered = f"{floor}, same switch interval"
    turns = r["busy thread turns per s"]
    rows = [
        ("interval error p99, idle", ours, alone[ours]["p99_us"], floor, alone[floor]["p99_us"], "us", False),
        ("ticks delivered, beside one CPU-bound thread", ours, busy[ours]["ticks_percent"], floor,
         busy[floor]["ticks_percent"], "% of 1000/s", True),
        ("interval error p99, beside one CPU-bound thread", ours, busy[ours]["p99_us"], floor, busy[floor]["p99_us"],
         "us", False),
        ("interval error p99, beside one CPU-bound thread", ours, busy[ours]["p99_us"], lowered,
         busy[lowered]["p99_us"], "us", False),
        ("the busy thread's loop turns per s", f"beside {ours}", turns[f"beside {ours}"], "alone", turns["alone"],
         "turns/s", True),
        ("the busy thread's loop turns per s", f"beside {ours}", turns[f"beside {ours}"],
         "beside the C loop calling Python", turns["beside the C loop calling Python"], "turns/s", True),
    ]
    demo = run(sys.executable, HERE / "demo_lateness.py", "--iface", IFACE, "--seconds", size["demo_seconds"],
               env_path=env_path)
    demo_rows = ["| run | ticks skipped | p50 us | p99 us | max us |", "|---|---|---|---|---|"]
    demo_rows += [f"| {name} | {v['skipped']} | {v['p50_us']} | {v['p99_us']} | {v['max_us']} |"
                  for name, v in demo.items() if isinstance(v, dict)]
    ours, floor_run = demo["demo"], demo["demo on the C loop"]
    return "\n\n".join([
        f"`bench/timer_contention.py`, {size['contention_seconds']:g} s per loop at 1000 Hz in "
        f"{size['contention_spans']} spans, the loops taking turns so that the "
        "machine's noise falls on all alike. The floor is a C thread that keeps one thread state, "
        "sleeps then spins to each deadline and calls the same Python function under `PyGILState_Ensure` "
        "(`bench/timers/floor_module.c`); it leaves the switch interval alone "
        f"({r['switch_interval_us']} us), while a running precision timer lowers it to a twentieth of its period; "
        "the floor's second run beside the busy thread sets that same interval, so what is left there is the "
        "interpreter's hand-off of its lock.",
        table(rows),
        f"The demo (`bench/demo_lateness.py`: `examples/motor_control.py` at 500 Hz for {size['demo_seconds']:g} s "
        "with its live view, CSV "
        "log and frame counter, four simulated drivers on the bus), the same program with its control step on the C "
        "loop calling Python (same spin, same switch interval), then each loop alone, one after the other; lateness "
        "behind the grid, and the deadlines after the first tick that got no tick. A skip the machine forces (the "
        "loop's CPU taken by another process, or not run at all for a few ms) shows in the C loop's rows too; what "
        "the module adds is what its rows show beyond them. Load average "
        f"{demo['load_average']:.2f} at the end of these runs.",
        "\n".join(demo_rows),
        f"Goal for the demo: lateness p99 at most 100 us, no tick skipped. Here p99 {ours['p99_us']} us and "
        f"{ours['skipped']} skipped; on the C loop, p99 {floor_run['p99_us']} us and {floor_run['skipped']} skipped.",
    ])


def run_async_section(size):
    r = python("run_async.py", "--round-trips", size["async_trips"], "--batch", size["async_batch"], "--queued",
               size["async_queued"], "--signals", size["signals"], "--json")
    rt, pool = r["round_trip"]["run_async"], r["round_trip"]["ThreadPoolExecutor"]
    sig = r["sigint_to_return"]
    ours_sig, plain_sig = sig["block_all, 10 timers"], sig["plain Python, 10 timer threads"]
    batch = f"batch of {size['async_batch']}"
    rows = [(f"start -> wait() round trip {q}", f"run_async ({rt['trips']} trips)", rt[f"{q}_us"],
             f"ThreadPoolExecutor ({pool['trips']} trips)", pool[f"{q}_us"], "us", False) for q in ("p50", "p99")]
    rows += [
        ("tasks per s, batch started then waited", f"run_async ({batch})", r["batch_tasks_per_s"]["run_async"],
         f"ThreadPoolExecutor ({batch})", r["batch_tasks_per_s"]["ThreadPoolExecutor"], "tasks/s", True),
        ("SIGINT -> the stop returns, p50", f"block_all returns, 10 timers ({ours_sig['runs']} runs)",
         ours_sig["p50_ms"], f"Event set, 10 threads ({plain_sig['runs']} runs)", plain_sig["p50_ms"], "ms", False),
        ("SIGINT -> the stop returns, max", "block_all returns", ours_sig["max_ms"], "Event set",
         plain_sig["max_ms"], "ms", False),
        ("SIGINT -> every timer ended, p50", "block_all, then no timer thread left", ours_sig["ended_p50_ms"],
         "Event set, threads joined", plain_sig["ended_p50_ms"], "ms", False),
        ("SIGINT -> every timer ended, max", "block_all, then no timer thread left", ours_sig["ended_max_ms"],
         "Event set, threads joined", plain_sig["ended_max_ms"], "ms", False),
    ]
    queued = r["after_starting"]
    for what, unit in (("threads", "threads"), ("vm_mb", "MB of virtual memory")):
        for count in (100, size["async_queued"]):
            rows.append((f"{unit} just after starting {count} jobs", "run_async",
                         queued[f"run_async, {count} jobs"][what], "ThreadPoolExecutor",
                         queued[f"ThreadPoolExecutor, {count} jobs"][what], unit, False))
    goal = "met" if ours_sig["max_ms"] < 20 else "NOT met"
    return table(rows) + ("\n\nThe round trips of the two alternate, one each in turn, so that the machine's "
                          "load falls on both alike, in six fresh processes: each process's threads stay where the "
                          "kernel first puts them, beside the caller (a hand-off of a few microseconds) or on the "
                          "other CPU (tens of microseconds to wake it on this virtual machine), for either "
                          "alternative, so one process would measure one draw of that."
                          f" Goal for SIGINT -> `block_all` returning with ten timers: under 20 ms: {goal} "
                          f"(max {ours_sig['max_ms']} ms); every timer had ended {ours_sig['ended_max_ms']} ms "
                          "after the signal at most (the precision timers, at 100 Hz, end at their next "
                          "deadline). Jobs run on job threads, at most four per CPU, so the threads of a "
                          f"process that queued {size['async_queued']:,} jobs are those of one that queued 100.")


def realtime_section(size):
    r = python("realtime.py", "--seconds", size["realtime_seconds"])
    setting = r["setting"]
    timer_rows = ["| loop | scheduling of the timer thread | ticks (of expected) | interval error p50 us | p99 us | "
                  "max us | intervals > 100 us off |", "|---|---|---|---|---|---|---|"]
    for name in ("timer default", "timer opt-in"):
        t = r[name]
        timer_rows.append(f"| precision_timer(1000), {name.split()[1]} | {t['scheduling']} | {t['ticks']} of "
                          f"{t['expected']} ({100 * t['ticks'] / t['expected']:.1f} %) | {t['p50_us']} | "
                          f"{t['p99_us']} | {t['max_us']} | {t['over_100us']} |")
    trip_rows = ["| loop | how it waits for the answer | scheduling | round trips | lost | p50 us | p99 us | max us |",
                 "|---|---|---|---|---|---|---|---|"]
    for name, label, how in (("control default", "Motor in precision_timer(200)", "polls get_watch_data()"),
                             ("control opt-in", "Motor in precision_timer(200)", "polls get_watch_data()"),
                             ("socket polling default", "stdlib socket loop at 200 Hz", "polls recv(MSG_DONTWAIT)"),
                             ("socket polling opt-in", "stdlib socket loop at 200 Hz", "polls recv(MSG_DONTWAIT)"),
                             ("socket default", "stdlib socket loop at 200 Hz", "blocking recv"),
                             ("socket opt-in", "stdlib socket loop at 200 Hz", "blocking recv")):
        t = r[name]
        trip_rows.append(f"| {label} | {how} | {t['scheduling']} | {t['samples']} | {t['lost']} | {t['p50_us']} | "
                         f"{t['p99_us']} | {t['max_us']} |")
    refused = [f"{name}: {r[name]['stderr']}" for name in r if name != "setting" and r[name].get("stderr")]
    pairs = [(f"control round trip {q}, {mode}", f"Motor ({r['control ' + mode]['samples']} trips)",
              r[f"control {mode}"][f"{q}_us"], f"socket polling ({r['socket polling ' + mode]['samples']} trips)",
              r[f"socket polling {mode}"][f"{q}_us"], "us", False)
             for mode in ("default", "opt-in") for q in ("p50", "p99")]
    return "\n\n".join([
        f"`bench/realtime.py`: {setting['hogs']} CPU-bound processes (`while True: pass`) run beside every case, "
        f"{setting['seconds']:g} s each, one fresh process per case; opt-in is "
        f"`DROVIK_RT_PRIORITY={setting['priority']}` (runtime workers at {setting['priority'] - 1}); the socket "
        "loops under the opt-in raise their one thread to the same SCHED_FIFO priority. "
        f"Bus: {setting['bus']}.",
        "\n".join(timer_rows),
        "Control round trip: set a target, `broadcast()`, the driver stand-in answers at once, the answer seen in "
        "`get_watch_data()`, read every 10 us; the socket loops send the same frame and read the answer on "
        "Python's `socket`, polled at the same pace or in a blocking `recv`.",
        "\n".join(trip_rows),
        "Like for like (both polling, both under the same scheduling):",
        table(pairs),
        "Memory of a process with a precision timer, a normal timer and four finished jobs (kB; "
        "`DROVIK_RT_MLOCK=1` locks pages as they are touched, the up-front lock is the alternative not offered):",
        "| case | VmRSS | VmLck | threads |\n|---|---|---|---|\n" + "\n".join(
            f"| {name[7:]} | {r[name]['VmRSS']} | {r[name]['VmLck']} | {r[name]['Threads']} |"
            for name in ("memory default", "memory DROVIK_RT_MLOCK=1", "memory locked up front")),
    ] + (["Refused in this run (figures above are then ordinary scheduling): " + "; ".join(refused)]
         if refused else []))


def idle_cpu_percent(snippet, seconds):
    try:
        return round(float(run(sys.executable, "-c", snippet, IFACE, seconds, json_out=False)), 3)
    except subprocess.CalledProcessError:
        return None


def idle_section(size, motor):
    seconds = size["idle_seconds"]
    rows = [("CPU, % of a core, silent bus, fresh process", "Motor with four devices",
             idle_cpu_percent(DROVIK_IDLE, seconds), "python-can Bus + Notifier",
             idle_cpu_percent(PYTHON_CAN_IDLE, seconds), "%", False)]
    return table(rows) + (f"\n\n`bench/motor.py` measures the same inside its own process, after its other "
                          f"measurements: {motor['idle']['percent_of_a_core']} % of a core. What a running "
                          "precision timer costs is in \"What a precision timer's wait costs\".")


SPIN_CONDITIONS = ("default idle", "default 2 hogs", "rt idle", "rt 2 hogs")


def spin_row(name, c):
    timing = (f"{figure(c['timing_p50_us'])} / {figure(c['python_p50_us'])}" if "timing_p50_us" in c else "—")
    return (f"| {name} | {figure(c['cpu_pct'])} | {figure(c['err_p50_us'])} | {figure(c['err_p99_us'])} | "
            f"{figure(c['worst_p99_us'])} | "
            f"{c['ticks']} of {c['ticks_expected']} | {timing} |")


def timer_spin_section(size):
    r = python("timer_spin.py", "--seconds", size["spin_seconds"], "--rounds", size["spin_rounds"], "--json")
    cases = r["cases"]

    def named(case, label=None):
        c = cases[case]
        return f"{label or case} ({c['ticks']} of {c['ticks_expected']} ticks)"

    rows = ["| case | CPU % of a core | interval error p50 us | p99 us | worst round's p99 us | ticks | "
            "timing() lateness p50 / the same from Python, us |", "|---|---|---|---|---|---|---|"]
    rows += [spin_row(name, c) for name, c in cases.items() if name != "busy thread alone"]
    ratios = []
    for condition in SPIN_CONDITIONS:
        adaptive, fixed = f"adaptive {condition}", f"fixed {condition}"
        blocking, spinning = f"stdlib {condition}", f"stdlib-spin {condition}"
        ratios += [
            (f"interval error p99, {condition}", named(adaptive), cases[adaptive]["err_p99_us"], named(fixed),
             cases[fixed]["err_p99_us"], "us", False),
            (f"CPU, {condition} (blocking pair)", named(adaptive), cases[adaptive]["cpu_pct"], named(blocking),
             cases[blocking]["cpu_pct"], "% of a core", False),
            (f"interval error p99, {condition} (blocking pair)", named(adaptive), cases[adaptive]["err_p99_us"],
             named(blocking), cases[blocking]["err_p99_us"], "us", False),
            (f"CPU, {condition} (spinning pair)", named(fixed), cases[fixed]["cpu_pct"], named(spinning),
             cases[spinning]["cpu_pct"], "% of a core", False),
            (f"interval error p99, {condition} (spinning pair)", named(fixed), cases[fixed]["err_p99_us"],
             named(spinning), cases[spinning]["err_p99_us"], "us", False),
        ]
    busy, alone = "adaptive beside a busy thread", "adaptive default idle"
    turns = cases["busy thread alone"]["turns_per_s"]
    ratios += [
        ("interval error p99 beside one CPU-bound Python thread, against alone", named(busy), cases[busy]["err_p99_us"],
         named(alone, "the same timer alone"), cases[alone]["err_p99_us"], "us", False),
        ("interval error p99 beside one CPU-bound Python thread", named(busy), cases[busy]["err_p99_us"],
         named("stdlib beside a busy thread"), cases["stdlib beside a busy thread"]["err_p99_us"], "us", False),
        ("the busy thread's loop turns per s", "beside the adaptive timer", cases[busy]["turns_per_s"],
         "alone", turns, "turns/s", True),
        ("the busy thread's loop turns per s", "beside the adaptive timer", cases[busy]["turns_per_s"],
         "beside the stdlib loop", cases["stdlib beside a busy thread"]["turns_per_s"], "turns/s", True),
    ]
    return "\n\n".join([
        f"`bench/timer_spin.py`: one process per case doing the same work at 1000 Hz (record the time): "
        "`precision_timer(1000)` with the learned wait (adaptive, the default) and with "
        f"`DROVIK_TIMER_SPIN=fixed` (the whole {r['spin_us']} us spin), against a stdlib loop that `time.sleep`s "
        f"to the next deadline (blocking) and one that sleeps to {r['spin_us']} us before it and then reads the "
        "clock until it passes (spinning); every loop skips the deadlines a late tick missed. Idle and beside two "
        "CPU-bound processes, under default scheduling and with the real-time opt-in "
        f"(rt: `DROVIK_RT_PRIORITY={r['rt_priority']}`, the stdlib loops' thread at the same SCHED_FIFO "
        "priority); then beside one CPU-bound Python thread in the same process. CPU is the whole process's, "
        f"from before the loop starts to after it stops. {r['rounds']} rounds of {r['seconds']:g} s, the cases "
        "taking turns; each figure is the median over the rounds, ticks their sum.",
        "\n".join(rows),
        "Adaptive against fixed (goal: p99 at most 1.1 times the fixed spin's), each against the stdlib loop "
        "that waits the same way, and beside a busy thread (goals: p99 at most 1.3 times the timer's alone, "
        "the busy thread at least 0.9 of its turns alone):",
        table(ratios),
        f"The busy thread's turns per s: alone {turns:.0f}, beside the adaptive timer "
        f"{cases[busy]['turns_per_s']:.0f}, beside the fixed spin "
        f"{cases['fixed beside a busy thread']['turns_per_s']:.0f}, beside the stdlib loop "
        f"{cases['stdlib beside a busy thread']['turns_per_s']:.0f}.",
    ])


EXIT_FIGURES = HERE / "exit_waits.json"
EXIT_OUTCOMES = ("ok", "crash", "hang", "stdout", "stderr")


def exit_waits_section(size):
    if not EXIT_FIGURES.exists():
        return "The figures are missing: run `bench/exit_waits` (it writes bench/exit_waits.json)."
    figures = json.loads(EXIT_FIGURES.read_text())
    rows = ["| Python | runs each, CPU load | drovik: " + " / ".join(EXIT_OUTCOMES) + " | plain Python: "
            + " / ".join(EXIT_OUTCOMES) + " | seconds, both |", "|---|---|---|---|---|"]
    for one in figures["interpreters"]:
        counts = one["counts"]
        ours, plain = counts["waiting"], counts["plain Python waiting"]
        rows.append(f"| {one['python']} | {one['runs']}, {one['load']} spinning processes | "
                    + " / ".join(str(ours[k]) for k in EXIT_OUTCOMES) + " | "
                    + " / ".join(str(plain[k]) for k in EXIT_OUTCOMES) + f" | {one['seconds']} |")
    return "\n\n".join([
        "`bench/exit_waits` (`bench/exit_waits.py` on every interpreter, taken "
        f"{figures['taken']}): a program whose daemon threads sit in every drovik wait that releases the "
        "interpreter lock (`AsyncHandle.wait`, `wait_all`, `shutdown`, `shutdown_all`, `block_until`, "
        "`block_all`, with time-outs of 0-3 ms, over and over) while a precision timer ticks and an exit "
        "handler waits, ends; against the same program in plain Python (daemon threads in `Thread.join`, "
        "`Event.wait`, `Lock.acquire`, `Queue.get`, `Condition.wait`, `time.sleep`, a thread ticking at 1 kHz, an "
        "exit handler that waits). The runs of the two alternate. A run is ok when it exits with status 0 "
        "within 20 s having printed only \"exiting\" and nothing unexpected on standard error; crash, hang and "
        "stray output are the other outcomes.",
        "\n".join(rows),
    ])


# Benchmarks that other branches add as scripts of their own are wired in here: (title, function of this run's
# sizes (FULL or SHORT) returning the section's Markdown; run each script with python(...) so that its time shows
# in the log, and give every ratio its pair and counts, as table() rows do).
MORE_SECTIONS = [
    ("What a precision timer's wait costs", timer_spin_section),
    ("Daemon threads in waits at interpreter exit", exit_waits_section),
    # Next: bench/burst.py, CanDeviceNonBlocking bursts beside a stdlib reader thread.
]


def run_time(started):
    text = f"bench/report.py took {time.monotonic() - started:.0f} s"
    began, kept = os.environ.get("DROVIK_BENCH_BEGAN"), os.environ.get("DROVIK_BENCH_SKIP")
    if not began:
        return text + "."
    return (text + f", the whole `bench/run-all` {time.time() - float(began):.0f} s (build included; "
            + (f"DROVIK_BENCH_SKIP={kept!r}: those figures are the dated ones above)." if kept
               else "guest and exit runs included)."))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", default=str(HERE))
    parser.add_argument("--short", action="store_true", help="far fewer samples: the chain end to end")
    args = parser.parse_args()
    size = SHORT if args.short else FULL
    out_dir = Path(args.out)
    started = time.monotonic()
    began_load = load_average()
    runtime = runtime_section(args.build)
    can = can_section(size)
    motor_text, motor = motor_section(size)
    robot = robot_section(size, out_dir)
    timers = timer_section(size, args.build, out_dir)
    contention = contention_section(size, args.build)
    run_async = run_async_section(size)
    realtime = realtime_section(size)
    idle = idle_section(size, motor)
    more = [f"## {title}\n\n{section(size)}" for title, section in MORE_SECTIONS]
    host = machine() + (f"\n- Load average (1 / 5 / 15 min; the machine is shared): {began_load} when the run began, "
                        f"{load_average()} when it ended")
    report = "\n\n".join([
        "# drovik benchmark report",
        "Written by `bench/run-all`" + (" --short (few samples: it shows the chain works, its figures are not to "
                                        "be cited)" if args.short else "") +
        "; every figure below comes from one run of it, alternatives measured side by side in the same run, "
        "except the guest's and the exit runs', which `bench/guest-can` and `bench/exit_waits` take (run-all runs "
        "them first; their dates are given). Ratios say how many times better (or worse) drovik's figure is; a "
        "ratio is given only where both sides wait the same way under the same scheduling, with the counts beside.",
        "## Machine\n\n" + host,
        "## Runtime\n\n" + runtime,
        "## CAN throughput and latency\n\n" + can,
        "## Motor broadcast and feedback\n\n" + motor_text,
        "## A robot-scale loop: K buses × four drivers at 1 kHz\n\n" + robot,
        "## Timers\n\n" + timers,
        "## Precision timers beside other Python work\n\n" + contention,
        "## run_async and shutdown\n\n" + run_async,
        "## Real-time opt-in on a busy machine\n\n" + realtime,
        "## Idle CPU\n\n" + idle,
    ] + more + [
        run_time(started),
    ]) + "\n"
    (out_dir / "REPORT.md").write_text(report)
    print(f"report written to {out_dir / 'REPORT.md'}")


if __name__ == "__main__":
    main()
