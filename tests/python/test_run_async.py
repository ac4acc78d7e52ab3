"""run_async, RunAsync and AsyncHandle."""

import sys
import threading
import time

import pytest

import drovik
from waiting import eventually
from subproc import run_python


def test_values_come_back_repeatedly():
    handle = drovik.run_async(lambda a, b: a * b)(6, 7)
    assert handle.wait() == 42
    assert handle.wait() == 42
    assert handle.try_result() == 42
    assert (handle.is_done(), handle.is_completed(), handle.is_cancelled()) == (True, True, False)
    assert repr(handle) == f"AsyncHandle(id={handle.task_id}, status=completed)"


def test_ids_increase_across_calls():
    f = drovik.RunAsync(int)
    first, second = f(), f()
    assert second.task_id == first.task_id + 1
    first.wait(), second.wait()


def test_none_result_and_try_result_before_the_end():
    gate = threading.Event()
    handle = drovik.run_async(gate.wait)()
    assert handle.try_result() is None
    assert repr(handle).endswith("status=running)")
    gate.set()
    assert handle.wait() is True
    assert drovik.run_async(lambda: None)().wait() is None


@pytest.mark.parametrize(
    "func, args, text",
    [
        (lambda: int("x"), (), "ValueError: invalid literal for int() with base 10: 'x'"),
        (lambda: 1 / 0, (), "ZeroDivisionError: division by zero"),
        (5, (), "TypeError: 'int' object is not callable"),
        (len, (1, 2), "TypeError: len() takes exactly one argument (2 given)"),
    ],
)
def test_exceptions_become_runtime_errors(func, args, text):
    handle = drovik.run_async(func)(*args)
    for read in (handle.wait, handle.try_result):
        with pytest.raises(RuntimeError) as raised:
            read()
        assert str(raised.value) == text
    assert handle.is_completed() and handle.is_done()
    assert repr(handle).endswith("status=completed)")


def test_unprintable_exception_text():
    class Odd(Exception):
        def __str__(self):
            raise ValueError("no")

    def fail():
        raise Odd()

    with pytest.raises(RuntimeError, match=r"Odd: <exception str\(\) failed>$"):
        drovik.run_async(fail)().wait()


def test_wait_time_out_then_success():
    gate = threading.Event()
    handle = drovik.run_async(gate.wait)()
    with pytest.raises(TimeoutError, match="^Async task wait timed out$"):
        handle.wait(timeout_ms=0)
    with pytest.raises(TimeoutError):
        handle.wait(20)
    gate.set()
    assert handle.wait(timeout_ms=20_000) is True


@pytest.mark.parametrize("limit", [20_000, 2**63 - 1, 2**63, 2**64 - 1, None])
def test_wait_lets_other_python_threads_run(limit):
    gate = threading.Event()
    handle = drovik.run_async(gate.wait)()
    threading.Timer(0.05, gate.set).start()  # needs the interpreter lock while we wait
    assert handle.wait(timeout_ms=limit) is True


def test_cancel_while_running():
    started, gate, finished = threading.Event(), threading.Event(), threading.Event()

    def body():
        started.set()
        gate.wait()
        finished.set()
        return "done"

    handle = drovik.run_async(body)()
    assert started.wait(20)
    assert handle.cancel() is None
    assert (handle.is_cancelled(), handle.is_done(), handle.is_completed()) == (True, True, False)
    assert repr(handle).endswith("status=cancelled)")
    assert handle.wait() is None  # does not wait for the running function
    gate.set()
    assert finished.wait(20)  # the function still ran to its end
    assert eventually(handle.is_completed)
    assert repr(handle).endswith("status=cancelled)")


def test_cancel_before_start_skips_the_call():
    # The task cannot reach its call while this thread keeps the interpreter lock:
    # with a long switch interval, nothing takes it between the start and cancel().
    called = []
    interval = sys.getswitchinterval()
    sys.setswitchinterval(30)
    try:
        late = drovik.run_async(called.append)(1)
        late.cancel()
    finally:
        sys.setswitchinterval(interval)
    assert eventually(late.is_completed)
    assert late.wait() is None and called == []
    assert repr(late).endswith("status=cancelled)")


def test_a_task_may_wait_for_another():
    inner = drovik.run_async(lambda: "inner")
    outer = drovik.run_async(lambda: inner().wait(timeout_ms=20_000) + "+outer")
    assert outer().wait(timeout_ms=30_000) == "inner+outer"


def test_keywords_start_nothing():
    calls = []
    f = drovik.run_async(calls.append)
    before = f().task_id
    with pytest.raises(TypeError):
        f(1, x=2)
    assert f().task_id == before + 1  # no id was drawn for the refused call
    assert calls == [] or calls == [None] * len(calls)


def test_class_surface():
    assert repr(drovik.run_async(5)) == "RunAsync(...)"
    assert repr(drovik.RunAsync(func=print)) == "RunAsync(...)"
    with pytest.raises(TypeError):
        drovik.RunAsync()
    with pytest.raises(TypeError):
        drovik.AsyncHandle()
    handle = drovik.run_async(int)()
    with pytest.raises(AttributeError):
        handle.task_id = 3
    for bad in (-1, "1", 1.5):
        with pytest.raises((TypeError, OverflowError)):
            handle.wait(bad)


def test_dropping_an_unfinished_handle_warns_once():
    result = run_python(
        """
        import drovik, threading
        gate = threading.Event()
        handle = drovik.run_async(gate.wait)()
        task_id = handle.task_id
        del handle
        done = drovik.run_async(int)()
        done.wait()
        del done
        cancelled = drovik.run_async(gate.wait)()
        cancelled.cancel()
        del cancelled
        gate.set()
        print(task_id)
        """
    )
    assert result.returncode == 0, result.stderr
    task_id = result.stdout.strip()
    assert result.stderr == (
        f"Warning: AsyncHandle(id={task_id}) dropped while task still running. "
        "Consider calling handle.cancel() or handle.wait() before dropping.\n"
    )


def test_exit_with_tasks_inside_their_calls_is_quiet():
    code = """
import drovik, time
sleepers = [drovik.run_async(time.sleep)(30) for _ in range(4)]
def spin():
    while True:  # Python-level work: it gives the interpreter lock up every few ms
        pass
spinner = drovik.run_async(spin)()
time.sleep(0.05)
for h in sleepers + [spinner]:
    h.cancel()  # no drop warnings: only the exit is under test
print("bye", flush=True)
"""
    for _ in range(5):
        began = time.monotonic()
        result = run_python(code, timeout=60)
        assert (result.returncode, result.stdout, result.stderr) == (0, "bye\n", "")
        assert time.monotonic() - began < 30


def test_a_large_batch_of_jobs_adds_a_bounded_number_of_threads():
    result = run_python(
        """
        import os, drovik
        def threads():
            return len(os.listdir("/proc/self/task"))
        drovik.run_async(int)().wait()
        few = threads()
        handles = [drovik.run_async(abs)(-i) for i in range(5000)]
        most = threads()
        assert [h.wait() for h in handles] == list(range(5000))
        print(few, most, len(os.sched_getaffinity(0)))
        """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    few, most, cpus = map(int, result.stdout.split())
    assert most - few <= 4 * cpus, (few, most)


def test_jobs_waiting_for_jobs_queued_behind_them_all_finish():
    # More waiting jobs than there are job threads: each lends its place to the job it waits for.
    result = run_python(
        """
        import os, drovik
        inner = drovik.run_async(lambda n: n * 2)
        outer = drovik.run_async(lambda n: inner(n).wait(timeout_ms=30_000) + 1)
        count = 6 * len(os.sched_getaffinity(0))
        print([h.wait(timeout_ms=60_000) for h in [outer(n) for n in range(count)]] == [2 * n + 1 for n in range(count)])
        """,
        timeout=120,
    )
    assert (result.returncode, result.stdout.strip(), result.stderr) == (0, "True", "")
