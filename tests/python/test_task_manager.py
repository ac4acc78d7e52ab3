"""TaskManager, get_task_manager and shutdown_all. Anything that stops all runs in
its own interpreter: the shutdown flag never clears."""
import threading
import time

import drovik
import pytest

from signals import SIGINT, Child
from waiting import wait_until
from subproc import run_python

KEYS = ["running_timers", "running_tasks", "stopped", "total"]


def test_fresh_process_reports_an_empty_registry():
    result = run_python(
        """
        import drovik
        m = drovik.get_task_manager()
        print(list(m.status().items()))
        print(repr(m), repr(drovik.TaskManager()))
        print(m.running_count, m.total_count, m.timer_count, m.async_task_count)
        print(m.wait_all(), m.wait_all(0), m.wait_all(timeout_ms=None), drovik.shutdown_all())
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == str([(key, 0) for key in KEYS])
    assert lines[1] == " ".join(["TaskManager(timers=0, tasks=0, stopped=0, total=0)"] * 2)
    assert lines[2] == "0 0 0 0"
    assert lines[3] == "True True True True"
    assert result.stderr == ""


def test_every_instance_views_the_same_registry():
    first, second = drovik.get_task_manager(), drovik.TaskManager()
    assert first is not drovik.get_task_manager()
    handle = drovik.timer(5.0)(lambda: None)()
    try:
        assert first.status() == second.status()
        assert first.timer_count >= 1
        assert repr(first) == repr(second)
    finally:
        handle.stop()


@pytest.mark.parametrize("name", ["running_count", "total_count", "timer_count", "async_task_count"])
def test_counts_are_read_only(name):
    with pytest.raises(AttributeError):
        setattr(drovik.get_task_manager(), name, 1)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda m: m.wait_all(-1), OverflowError),
        (lambda m: m.wait_all(2**64), OverflowError),
        (lambda m: m.wait_all("x"), TypeError),
        (lambda m: m.wait_all(1.5), TypeError),
        (lambda m: m.wait_all(1, 2), TypeError),
        (lambda m: m.shutdown(-1), OverflowError),
        (lambda m: m.shutdown(timeout="1"), TypeError),
        (lambda m: drovik.shutdown_all(-5), OverflowError),
        (lambda m: drovik.shutdown_all("x"), TypeError),
        (lambda m: drovik.get_task_manager(1), TypeError),
        (lambda m: drovik.TaskManager(1), TypeError),
        (lambda m: m.status(1), TypeError),
    ],
)
def test_argument_errors_stop_nothing(call, error):
    handle = drovik.timer(5.0)(lambda: None)()
    try:
        with pytest.raises(error):
            call(drovik.get_task_manager())
        assert handle.is_running()
    finally:
        handle.stop()


def test_wait_all_zero_gives_up_and_leaves_the_timer_running():
    handle = drovik.precision_timer(50.0)(lambda: None)()
    try:
        assert drovik.get_task_manager().wait_all(timeout_ms=0) is False
        assert handle.is_running()
    finally:
        handle.stop()


def test_wait_all_releases_the_gil_while_it_waits():
    progress = {"thread": 0}
    done = threading.Event()

    def other_thread():
        while not done.is_set():
            progress["thread"] += 1
            time.sleep(0.001)

    handle = drovik.timer(100.0)(lambda: None)()
    worker = threading.Thread(target=other_thread)
    try:
        wait_until(lambda: handle.tick_count() >= 1)
        worker.start()
        ticks, steps = handle.tick_count(), progress["thread"]
        assert drovik.get_task_manager().wait_all(200) is False
        # Both the timer's calls and another Python thread went on meanwhile.
        assert handle.tick_count() > ticks
        assert progress["thread"] > steps
    finally:
        done.set()
        handle.stop()
        if worker.is_alive():
            worker.join()


@pytest.mark.parametrize("timeout", ["", "timeout_ms=600_000"])
def test_ctrl_c_ends_wait_all_and_leaves_the_manager_usable(timeout):
    child = Child(
        f"""
        import drovik, time
        manager = drovik.get_task_manager()
        job = drovik.run_async(time.sleep)(600)
        print("ready", flush=True)
        try:
            manager.wait_all({timeout})
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        print(manager.running_count, manager.wait_all(0), job.is_done(), flush=True)
        job.cancel()
        """
    )
    child.signal(SIGINT)
    status, out, err = child.finish()
    assert (status, out.splitlines()) == (0, ["interrupted", "1 False False"]), err
    assert err == ""


def test_wait_all_takes_a_huge_time_out_as_no_limit_never_as_passed():
    result = run_python(
        """
        import drovik, threading
        manager = drovik.get_task_manager()

        def wait_all_on_a_job(limit, release_after=None):
            gate = threading.Event()
            job = drovik.run_async(gate.wait)()
            if release_after is not None:
                threading.Timer(release_after, gate.set).start()
            ended = manager.wait_all(limit)
            gate.set()
            job.wait()
            return ended

        print([wait_all_on_a_job(limit) for limit in (0, 1)] +
              [wait_all_on_a_job(limit, 0.05) for limit in (2**32, 2**63 - 1, 2**63, 2**64 - 1, None)])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str([False, False] + [True] * 5)


def test_cleanup_removes_only_stopped_entries():
    manager = drovik.get_task_manager()
    stopped = drovik.timer(5.0)(lambda: None)()
    running = drovik.timer(5.0)(lambda: None)()
    try:
        stopped.stop()
        before = manager.status()
        manager.cleanup()
        after = manager.status()
        assert after["stopped"] == 0
        assert after["running_timers"] == before["running_timers"]
        assert after["total"] == before["total"] - before["stopped"]
        assert running.is_running()
    finally:
        running.stop()


STOP_ALL = """
import drovik, threading, time
manager = drovik.get_task_manager()
started = threading.Event()
def slow():
    started.set()
    time.sleep(2)
handles = [drovik.timer(100.0)(lambda: None)(), drovik.precision_timer(100.0)(lambda: None)(),
           drovik.precision_timer(100.0, realtime=True)(lambda: None)(), drovik.timer(10.0)(slow)()]
started.wait(20)
print(manager.status()["running_timers"])
begin = time.monotonic()
result = {how}
took = time.monotonic() - begin
print(result, took < 1.5)
print([h.is_running() for h in handles], manager.timer_count, manager.status()["stopped"], manager.total_count)
late = []
for decorator in (drovik.timer(100.0), drovik.precision_timer(100.0), drovik.precision_timer(100.0, realtime=True)):
    handle = decorator(lambda: late.append(1))()
    deadline = time.monotonic() + 20
    while handle.is_running() and time.monotonic() < deadline:
        time.sleep(0.005)
    print(handle.is_running(), handle.tick_count(), end=" ")
print(len(late))
manager.cleanup()
print(manager.total_count)
"""


@pytest.mark.parametrize(
    "how, result",
    [
        ("drovik.shutdown_all(timeout_ms=5000)", "True"),
        ("drovik.shutdown_all(None)", "True"),
        ("manager.shutdown()", "True"),
        ("manager.stop_all()", "None"),
    ],
)
def test_stop_all_stops_everything_now_and_every_later_timer(how, result):
    out = run_python(STOP_ALL.replace("{how}", how))
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "4"
    # Returns at once although one timer is inside a two-second call.
    assert lines[1] == f"{result} True"
    assert lines[2] == "[False, False, False, False] 0 4 4"
    assert lines[3] == "False 0 False 0 False 0 0"
    assert lines[4] == "0"
    assert out.stderr == ""


def test_threads_starting_and_counting_at_once_share_one_consistent_registry():
    result = run_python(
        """
        import threading
        import drovik

        THREADS, ROUNDS = 8, 30
        manager = drovik.get_task_manager()
        barrier = threading.Barrier(THREADS)
        ids, torn = [], []

        def start(n):
            if n % 3 == 0:
                return drovik.timer(500.0)(lambda: None)()
            if n % 3 == 1:
                return drovik.precision_timer(500.0)(lambda: None)()
            return drovik.run_async(lambda x: x * 2)(n)

        def work():
            barrier.wait()
            for n in range(ROUNDS):
                handle = start(n)
                ids.append(handle.task_id)
                status = manager.status()
                if status["running_timers"] + status["running_tasks"] + status["stopped"] != status["total"]:
                    torn.append(status)
                manager.running_count, manager.wait_all(0)
                if n % 5 == 0:
                    manager.cleanup()
                if n % 3 == 2:
                    assert handle.wait(10_000) == n * 2
                else:
                    handle.stop()

        threads = [threading.Thread(target=work) for _ in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(len(ids), len(set(ids)), torn, manager.wait_all(20_000), manager.status())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    total = 8 * 30
    empty = {key: 0 for key in KEYS}
    assert result.stdout.strip() == f"{total} {total} [] True {empty}"
