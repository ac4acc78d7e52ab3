"""block_all and block_until, in child processes: the shutdown flag they raise
never clears, and signals need a process of their own."""

import pytest

import drovik
from signals import SIGINT, SIGTERM, Child, thread_cpu_seconds
from subproc import run_python
from waiting import wait_until

RECEIVED = "\n[drovik] Received {}, initiating graceful shutdown...\n"
STOPPING = "\n[drovik] Stopping (reason: {}), initiating graceful shutdown...\n"
SUCCESS = "[drovik] All tasks stopped successfully\n"
TIMED_OUT = "[drovik] Shutdown timed out, some tasks may still be running\n"


@pytest.mark.parametrize("signo, name", [(SIGINT, "SIGINT"), (SIGTERM, "SIGTERM")])
def test_block_all_returns_the_signal_and_swallows_the_interrupt(signo, name):
    child = Child(
        """
        import drovik, os, signal, time
        print("ready", flush=True)
        got = drovik.block_all()
        print(repr(got), flush=True)
        os.kill(os.getpid(), signal.SIGTERM)  # no longer deadly once a wait has started
        time.sleep(0.05)
        print("alive", flush=True)
        """
    )
    child.signal(signo)
    status, out, err = child.finish()
    assert (status, out.split()) == (0, [repr(name), "alive"]), err
    assert err == RECEIVED.format(name) + SUCCESS


def test_ctrl_c_outside_the_waits_still_raises_keyboard_interrupt():
    child = Child(
        """
        import drovik, time
        drovik.block_until(wait_ms=0)  # installs the process-level handlers
        print("ready", flush=True)
        try:
            time.sleep(60)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """
    )
    child.signal(SIGINT)
    status, out, err = child.finish()
    assert (status, out.split()) == (0, ["interrupted"]), err


def test_block_until_time_limit():
    result = run_python(
        """
        import drovik
        print(drovik.block_until(wait_ms=100))
        print(drovik.block_until(wait_ms=0, shutdown_timeout_ms=None))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["('timeout', True)", "('timeout', True)"]
    assert result.stderr == (STOPPING.format("timeout") + SUCCESS) * 2


def test_block_until_signal_stops_a_task_inside_its_call():
    child = Child(
        """
        import drovik, time
        handle = drovik.run_async(time.sleep)(3)
        print("ready", flush=True)
        print(drovik.block_until(wait_ms=60000, shutdown_timeout_ms=0), flush=True)
        handle.wait()
        """
    )
    child.signal(SIGINT)
    status, out, err = child.finish()
    assert (status, out.splitlines()) == (0, ["('signal:SIGINT', True)"]), err
    assert err == STOPPING.format("signal:SIGINT") + SUCCESS


def test_a_task_started_after_the_stop_keeps_the_wait_until_its_time_out():
    # The late task must be registered before block_all's first look, and block_all takes
    # the interpreter lock back between the stop and that look. So the starter holds the
    # lock from before the stop until the task is registered: with a long switch interval
    # nothing makes it let go, and it takes the lock only once block_all has released it.
    child = Child(
        """
        import drovik, sys, threading, time
        sleeper = drovik.run_async(time.sleep)
        canary = sleeper(30)  # running until the stop clears its flag
        manager = drovik.TaskManager()
        go, late = threading.Event(), []
        def start_after_the_stop():
            go.wait()
            while manager.status()["stopped"] == 0:
                pass
            late.append(sleeper(30))
            sys.setswitchinterval(interval)
        starter = threading.Thread(target=start_after_the_stop)
        starter.start()
        print("ready", flush=True)
        print(starter.native_id, flush=True)
        interval = sys.getswitchinterval()
        sys.setswitchinterval(3600)
        go.set()
        print(drovik.block_all(timeout_ms=200), flush=True)
        starter.join()
        canary.cancel()
        late[0].cancel()
        """
    )
    starter = int(child.proc.stdout.readline())
    # Only the spin runs that long: the starter holds the lock by now.
    wait_until(lambda: thread_cpu_seconds(child.proc.pid, starter) >= 0.05)
    child.signal(SIGINT)
    status, out, err = child.finish()
    assert (status, out.split()) == (0, ["SIGINT"]), err
    assert err == RECEIVED.format("SIGINT") + TIMED_OUT


def test_block_all_inside_a_task_is_an_internal_failure():
    result = run_python(
        """
        import drovik
        handle = drovik.run_async(drovik.block_all)()
        try:
            handle.wait()
        except RuntimeError as e:
            print(e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "InternalFailure: cannot start a runtime from within a runtime"
    assert "internal failure" in result.stderr


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: drovik.block_all(timeout_ms=-1), OverflowError),
        (lambda: drovik.block_all("x"), TypeError),
        (lambda: drovik.block_until(wait_ms=-5), OverflowError),
        (lambda: drovik.block_until(1, 2, 3), TypeError),
        (lambda: drovik.block_until(shutdown_timeout_ms=1.5), TypeError),
    ],
)
def test_argument_errors_come_before_any_wait(call, error):
    with pytest.raises(error):
        call()
