"""How started timers run: first call, serial calls, slow functions, errors, drops, thread names."""
import json
import os
import statistics
import threading
import time

import drovik
import pytest

from waiting import first_fair, wait_until
from subproc import run_python


MODES = {
    "normal": lambda hz: drovik.timer(hz),
    "high": lambda hz: drovik.precision_timer(hz),
    "realtime": lambda hz: drovik.precision_timer(hz, realtime=True),
}


@pytest.mark.parametrize("mode", MODES)
def test_first_call_is_immediate(handles, mode):
    calls = []
    # One call a minute: a first call one period late would never be seen here.
    handle = MODES[mode](1 / 60)(lambda: calls.append(time.monotonic()))()
    handles.append(handle)
    wait_until(lambda: calls)
    assert handle.tick_count() in (0, 1)


@pytest.mark.parametrize("mode", MODES)
def test_calls_of_one_timer_never_overlap(handles, mode):
    lock = threading.Lock()
    state = {"inside": 0, "most": 0, "calls": 0}

    def busy():
        with lock:
            state["inside"] += 1
            state["most"] = max(state["most"], state["inside"])
        time.sleep(0.004)  # longer than the period, with the GIL released
        with lock:
            state["inside"] -= 1
            state["calls"] += 1

    handle = MODES[mode](500.0)(busy)()
    handles.append(handle)
    wait_until(lambda: state["calls"] >= 30)
    assert state["most"] == 1


def slow_then_fast_run(handles, mode, period):
    """Call start times of a timer whose first six calls take 2.5 periods, and the timer;
    None when the machine put off the first call (the grid, laid before it, is then unknown here)."""
    starts = []

    def slow_then_fast():
        starts.append(time.monotonic())
        if len(starts) <= 6:
            time.sleep(2.5 * period)

    began = time.monotonic()
    handle = MODES[mode](1 / period)(slow_then_fast)()
    handles.append(handle)
    wait_until(lambda: len(starts) >= 20)
    handle.stop()
    wait_until(lambda: not handle.is_running())
    return (starts, handle) if starts[0] - began <= 0.1 * period else None


@pytest.mark.parametrize("mode", MODES)
def test_slow_function_runs_back_to_back_without_burst_and_keeps_the_grid(handles, mode):
    period = 0.04
    run = first_fair(lambda: slow_then_fast_run(handles, mode, period))
    if run is None:
        pytest.skip("every run's first call came late, so its grid is unknown to Python")
    starts, handle = run
    slow, fast = starts[:7], starts[8:20]
    # While slow, each call waits for the previous one, and nothing is made up
    # afterwards: never more calls than grid instants elapsed.
    assert all(b - a >= 2.5 * period for a, b in zip(slow, slow[1:6]))
    assert len(starts[:20]) <= (starts[19] - starts[0]) / period + 1
    # Fast again, calls sit on the grid laid from the first call.
    phases = [((t - starts[0]) / period) % 1.0 for t in fast]
    offsets = [min(p, 1.0 - p) for p in phases]
    assert statistics.median(offsets) < 0.25
    # Every deadline from the first call to the last was either called or counted missed.
    timing = handle.timing()
    deadlines = round((starts[-1] - starts[0]) / period) + 1
    assert timing["missed"] > 0
    assert abs(len(starts) + timing["missed"] - deadlines) <= 1, (len(starts), timing, deadlines)
    assert timing["call_p99_us"] >= 0.9 * 2.5 * period * 1e6  # the slow calls, 6 of 20, lie above the 99th


ERRORS = """
import drovik, time
handle = None
calls = []
def failing():
    calls.append(1)
    if len(calls) == 5:
        handle.stop()
    raise ValueError(f"bad {len(calls)}")
handle = drovik.{decorator}(100.0)(failing)()
deadline = time.monotonic() + 20
while handle.tick_count() < 5 and time.monotonic() < deadline:
    time.sleep(0.005)
print(handle.tick_count(), len(calls))
"""


@pytest.mark.parametrize("decorator", ["timer", "precision_timer"])
def test_each_failing_call_prints_one_line_and_the_timer_goes_on(decorator):
    result = run_python(ERRORS.replace("{decorator}", decorator))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["5", "5"]
    assert result.stderr.splitlines() == [f"Timer function error: ValueError: bad {n}" for n in range(1, 6)]


DROPPED = """
import drovik, os, time
calls = {"dropped": 0, "kept": 0}
def count(key):
    calls[key] += 1
wrapper = drovik.{decorator}(100.0)(count)
wrapper("dropped")
after_drop = calls["dropped"]
kept = wrapper("kept")
deadline = time.monotonic() + 20
while calls["kept"] < 10 and time.monotonic() < deadline:
    time.sleep(0.005)
print(calls["dropped"] - after_drop <= 1, drovik.get_task_manager().total_count)
kept.stop()
"""


@pytest.mark.parametrize("decorator", ["timer", "precision_timer"])
def test_dropping_a_running_handle_warns_once_and_stops_the_timer(decorator):
    result = run_python(DROPPED.replace("{decorator}", decorator))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "1"]
    lines = result.stderr.splitlines()
    assert len(lines) == 1
    assert lines[0].startswith("Warning: TimerHandle(id=")
    assert lines[0].endswith(
        ") dropped while still running. Make sure to save the handle returned by timer-decorated functions."
    )


def test_dropping_a_stopped_handle_is_silent_and_leaves_the_registry():
    result = run_python(
        """
        import drovik
        handle = drovik.precision_timer(10.0)(lambda: None)()
        handle.stop()
        manager = drovik.get_task_manager()
        before = manager.status()
        del handle
        print(before["stopped"], manager.total_count)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "0"]
    assert result.stderr == ""


def thread_names():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                names.append(comm.read().strip())
        except OSError:  # the thread ended in between: gone (ENOENT) or ending (ESRCH)
            pass
    return names


@pytest.mark.parametrize("mode, debug", [("high", "High"), ("realtime", "Realtime")])
def test_precision_thread_carries_its_name_and_ends_after_stop(handles, mode, debug):
    handle = MODES[mode](50.0)(lambda: None)()
    handles.append(handle)
    name = f"timer-{handle.task_id}-{debug}"[:15]
    wait_until(lambda: name in thread_names())
    handle.stop()
    wait_until(lambda: name not in thread_names())


def test_normal_timer_calls_on_a_pool_thread_not_the_caller(handles):
    where = []
    handle = drovik.timer(100.0)(lambda: where.append(threading.get_ident()))()
    handles.append(handle)
    wait_until(lambda: len(where) >= 3)
    assert threading.get_ident() not in where


def test_precision_timers_lower_the_switch_interval_while_they_run_and_not_in_a_child():
    # A separate process: the interval is process-wide and other tests' timers would move it.
    result = run_python(
        """
        import os, sys, time, drovik
        def names():
            found = []
            for task in os.listdir("/proc/self/task"):
                try:
                    found.append(open(f"/proc/self/task/{task}/comm").read().strip())
                except OSError:
                    pass
            return found
        def stopped(handle):
            name = f"timer-{handle.task_id}-High"[:15]
            deadline = time.monotonic() + 20
            while name not in names() and time.monotonic() < deadline:  # named once it runs
                time.sleep(0.002)
            handle.stop()
            while name in names() and time.monotonic() < deadline:
                time.sleep(0.002)
        us = lambda: round(sys.getswitchinterval() * 1e6)
        seen = [us()]
        fast = drovik.precision_timer(1000.0)(lambda: None)()
        slow = drovik.precision_timer(100.0)(lambda: None)()
        seen.append(us())
        # A forked child runs none of the timers: it gets the interval back.
        r, w = os.pipe()
        child = os.fork()
        if child == 0:
            os.write(w, str(us()).encode())
            os._exit(0)
        os.waitpid(child, 0)
        seen.append(int(os.read(r, 16)))
        stopped(fast)
        seen.append(us())
        stopped(slow)
        seen.append(us())
        # A value the program sets while timers run is its own: it stays.
        again = drovik.precision_timer(1000.0)(lambda: None)()
        seen.append(us())
        sys.setswitchinterval(0.002)
        stopped(again)
        seen.append(us())
        print(*seen)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["5000", "50", "5000", "500", "5000", "50", "2000"]


TIMING_KEYS = ["late_p50_us", "late_p99_us", "late_max_us", "missed", "call_p99_us"]


@pytest.mark.parametrize("mode", MODES)
def test_timing_reads_while_the_timer_runs_and_its_counts_only_grow(handles, mode):
    calls = []
    handle = MODES[mode](200.0)(lambda: calls.append(1))()
    handles.append(handle)
    readings = []
    wait_until(lambda: readings.append(handle.timing()) or len(calls) >= 40)
    for timing in readings:
        assert list(timing) == TIMING_KEYS
        assert type(timing["missed"]) is int and all(type(timing[k]) is float for k in TIMING_KEYS if k != "missed")
        assert 0.0 <= timing["late_p50_us"] <= timing["late_p99_us"] <= timing["late_max_us"]
    assert [t["missed"] for t in readings] == sorted(t["missed"] for t in readings)
    assert [t["late_max_us"] for t in readings] == sorted(t["late_max_us"] for t in readings)


def python_lateness_p50_us(mode, period_ns, calls):
    """Lateness as recorded in Python, or None when a deadline was missed (the grid then unknown here)."""
    starts = []
    handle = MODES[mode](1e9 / period_ns)(lambda: starts.append(time.perf_counter_ns()))()
    wait_until(lambda: len(starts) >= calls)
    handle.stop()
    wait_until(lambda: not handle.is_running())
    timing = handle.timing()
    if timing["missed"]:
        return None, timing
    # Call i is deadline i. Calls never start before their deadline, and on any
    # machine some start just after it: the earliest one fixes the grid.
    origin = min(t - i * period_ns for i, t in enumerate(starts))
    return statistics.median(t - i * period_ns - origin for i, t in enumerate(starts)) / 1000, timing


# A normal timer fires on the runtime's 1 ms ticks, behind its due instants by a
# steady part of a millisecond that the grid found in Python takes for its phase.
@pytest.mark.parametrize("mode, bound_us", [("normal", 2000.0), ("high", 200.0), ("realtime", 200.0)])
def test_timing_agrees_with_lateness_recorded_in_python(mode, bound_us):
    period_ns = 20_000_000  # long enough that a loaded machine rarely makes a timer skip
    for _ in range(3):
        python_p50_us, timing = python_lateness_p50_us(mode, period_ns, calls=100)
        if python_p50_us is not None:
            break
    else:
        pytest.skip(f"every run skipped deadlines, so its grid is unknown to Python: {timing}")
    # Generous: a wrong deadline is a period off, a wrong unit a thousandfold.
    assert abs(timing["late_p50_us"] - python_p50_us) < bound_us, (timing, python_p50_us)


TIMER_THREAD = """
import ctypes, json, threading, drovik
PR_GET_TIMERSLACK = 30
libc = ctypes.CDLL(None)
seen = []
enough = threading.Event()
def sleeps():
    with open(f"/proc/self/task/{threading.get_native_id()}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("voluntary_ctxt_switches"))
def tick():
    seen.append((libc.prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), sleeps()))
    if len(seen) == 100:
        enough.set()
# Realtime at 500 Hz: a fixed spin of 3 ms is longer than the period, so the thread never sleeps.
# The main thread waits without waking: a wait for the lock it held would count as a sleep.
handle = drovik.precision_timer(500.0, realtime=True)(tick)()
enough.wait(30)
handle.stop()
print(json.dumps({"slack": sorted({s for s, _ in seen}), "sleeps_per_tick": (seen[99][1] - seen[49][1]) / 50}))
"""


@pytest.mark.parametrize("spin", ["fixed", "adaptive"])
def test_timer_thread_has_the_least_timer_slack_and_fixed_spin_never_sleeps_within_its_threshold(spin):
    result = run_python(TIMER_THREAD, env={"DROVIK_TIMER_SPIN": spin})
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["slack"] == [1]
    if spin == "fixed":
        # Learned, it would sleep before most deadlines; a rare wait for the GIL may block once.
        assert report["sleeps_per_tick"] < 0.5, report
