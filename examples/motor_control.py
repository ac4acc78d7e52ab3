"""Four motor drivers in one broadcast group, driven by a precision control loop.

    python3 examples/motor_control.py [--iface vcan0] [--seconds 20] [--rate 500]
                                      [--plot motor_control.png] [--log motor_control.csv]

Each tick the loop sets every driver's target from its profile and sends all
four targets in one broadcast frame; the drivers' feedback arrives in the
background and is read with get_watch_data(). A terminal view refreshes five
times a second (each driver's feedback age, the bus state), a background job appends the samples to a CSV log, and the run
ends after --seconds (0: only on Ctrl+C) with a summary and, with --plot, a PNG.

Needs drivers on the bus: real ones, or the simulated ones that scripts/demo starts.
"""

import argparse
import math
import sys
import threading
import time

import drovik
from motor_view import LiveView, Recorder, plot, summary

BROADCAST_ID = 0x100


def sine_speed(t):
    return 8.0 * math.sin(2 * math.pi * 0.25 * t)


def square_speed(t):
    return 5.0 if int(t / 2.0) % 2 == 0 else -5.0


def position_steps(t):
    return (0.0, 3.14, -1.57, 1.0)[int(t / 2.5) % 4]


def current_triangle(t):
    phase = (t / 4.0) % 1.0
    return 0.8 * (1.0 - abs(2.0 * phase - 1.0))


# slot, feedback identifier, mode, target profile (seconds -> rad/s, rad or A)
DRIVERS = [
    (0, 0x201, "speed", sine_speed),
    (1, 0x202, "speed", square_speed),
    (2, 0x203, "position", position_steps),
    (3, 0x204, "current", current_triangle),
]


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--seconds", type=float, default=20.0, help="run time; 0 runs until Ctrl+C")
    parser.add_argument("--rate", type=float, default=500.0, help="control loop frequency in Hz")
    parser.add_argument("--plot", help="write a PNG of targets against feedback here (needs matplotlib)")
    parser.add_argument("--log", default="motor_control.csv", help="CSV log of every tick")
    return parser.parse_args()


def write_log(path, rows):
    with open(path, "a") as log:
        log.writelines(",".join(f"{value:.9g}" for value in row) + "\n" for row in rows)
    return len(rows)


# Runs on a runtime worker: the file write stays off the control loop's thread.
append_log = drovik.run_async(write_log)


def main():
    args = arguments()
    try:
        drovik.CanDevice(args.iface)  # Motor opens its socket in the background; fail here instead, loudly
    except OSError as error:
        sys.exit(f"cannot open {args.iface}: {error}; is the interface up? (see README, Troubleshooting)")
    motor = drovik.Motor(args.iface, broadcast_id=BROADCAST_ID)
    devices = [motor.add_device(slot, feedback_id, mode) for slot, feedback_id, mode, _ in DRIVERS]
    profiles = [profile for *_, profile in DRIVERS]
    monitor = drovik.CanDeviceNonBlocking(args.iface)  # counts every frame on the bus
    recorder = Recorder(DRIVERS, BROADCAST_ID)
    with open(args.log, "w") as log:
        log.write(recorder.csv_header() + "\n")

    # block_until returns once the timers are told to stop: a tick or a refresh
    # already under way still finishes afterwards. Each takes its lock, and does
    # nothing once the summary is being made; the control step's lock is held for
    # the recording alone, so the view's drawing never delays a tick.
    recording, viewing = threading.Lock(), threading.Lock()
    stopped = False

    @drovik.precision_timer(args.rate)
    def control_step():
        now = time.perf_counter() - started
        targets = [profile(now) for profile in profiles]
        for device, target in zip(devices, targets):
            device.set_target(target)
        motor.broadcast()
        feedback = [device.get_watch_data() for device in devices]
        with recording:
            if not stopped:
                recorder.add(now, targets, feedback)

    view = LiveView(args.iface, args.seconds, sys.stdout)
    pending_log, pending_rows = None, []

    @drovik.timer(5)
    def refresh():
        nonlocal pending_log, pending_rows
        with viewing:
            if stopped:
                return
            recorder.count_bus_frames(monitor)
            view.draw(recorder, loop, [device.feedback_age() for device in devices], motor.bus_state())
            if pending_log is None or pending_log.is_done():
                pending_rows = recorder.take_unlogged()
                pending_log = append_log(args.log, pending_rows)

    # Keep both handles for the whole run: dropping one stops its timer.
    started = time.perf_counter()  # time zero of the target profiles
    loop = control_step()
    view_timer = refresh()
    wait_ms = int(args.seconds * 1000) if args.seconds > 0 else None
    reason, clean = drovik.block_until(wait_ms=wait_ms, shutdown_timeout_ms=2000)
    with recording, viewing:
        stopped = True

    # No tick or refresh touches the recorder any more; drain the log, then report.
    # The shutdown stops a job that had not started yet: its rows are written here.
    if pending_log is not None and pending_log.wait(timeout_ms=5000) is None and pending_log.is_done():
        write_log(args.log, pending_rows)
    append_log(args.log, recorder.take_unlogged()).wait(timeout_ms=5000)
    recorder.count_bus_frames(monitor)
    view.close()
    print(summary(recorder, loop, reason, clean, args.log))
    if args.plot:
        print(plot(recorder, args.rate, args.plot))
    print(f"  view timer     {view_timer!r}")
    return 0 if clean else 1


if __name__ == "__main__":
    sys.exit(main())
