"""How started timers run: first call, serial calls, slow functions, errors, drops, thread names."""
import os
import statistics
import threading
import time

import drovik
import pytest

from waiting import wait_until
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


@pytest.mark.parametrize("mode", MODES)
def test_slow_function_runs_back_to_back_without_burst_and_keeps_the_grid(handles, mode):
    period = 0.04
    starts = []

    def slow_then_fast():
        starts.append(time.monotonic())
        if len(starts) <= 6:
            time.sleep(2.5 * period)

    handle = MODES[mode](1 / period)(slow_then_fast)()
    handles.append(handle)
    wait_until(lambda: len(starts) >= 20)
    handle.stop()
    slow, fast = starts[:7], starts[8:20]
    # While slow, each call waits for the previous one, and nothing is made up
    # afterwards: never more calls than grid instants elapsed.
    assert all(b - a >= 2.5 * period for a, b in zip(slow, slow[1:6]))
    assert len(starts[:20]) <= (starts[19] - starts[0]) / period + 1
    # Fast again, calls sit on the grid laid from the first call.
    phases = [((t - starts[0]) / period) % 1.0 for t in fast]
    offsets = [min(p, 1.0 - p) for p in phases]
    assert statistics.median(offsets) < 0.25


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
