"""The interpreter exits cleanly while timers of every mode run, one inside a slow call."""
import pytest

from subproc import run_python

EXIT_WHILE_RUNNING = """
import drovik, threading, time
inside = threading.Event()
def slow():
    inside.set()
    time.sleep(0.3)
def busy():
    sum(range(100))
handles = [
    drovik.timer(100.0)(busy)(),
    drovik.timer(20.0)(slow)(),
    drovik.precision_timer(1000.0)(busy)(),
    drovik.precision_timer(5000.0, realtime=True)(busy)(),
    drovik.precision_timer(20.0)(slow)(),
]
inside.wait(20)
while min(h.tick_count() for h in handles[2:4]) < 5:
    time.sleep(0.001)
print("exiting")
"""


@pytest.mark.parametrize("run", range(20))
def test_exit_with_timers_running(run):
    result = run_python(EXIT_WHILE_RUNNING, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "exiting\n"
    # Handles the interpreter releases on its way out may warn; nothing else may show.
    for line in result.stderr.splitlines():
        assert line.startswith("Warning: TimerHandle(id="), result.stderr
