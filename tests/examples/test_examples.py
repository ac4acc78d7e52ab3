"""Every example runs as it stands and shows what its text promises."""

import ast
import re
import signal
import subprocess
import sys

import pytest

from example_runner import EXAMPLES, TIME_LIMIT, run_example
from signals import wait_until_main_thread_waits

SHUTDOWN_OK = "[drovik] All tasks stopped successfully"


@pytest.mark.parametrize("name, args, expected", [
    ("can_blocking.py", ["{iface}"], ["sent 0x18FF50E5 00 01 02 03 04 05 06 07 -> received 0x18FF50E5 00 01 02 03 04 05 06 07",
                             "sent 0x7FF de ad be ef -> received 0x7FF de ad be ef",
                             "refused: Payload is larger than CAN maximum of 8 bytes"]),
    ("can_nonblocking.py", ["{iface}", 50], ["try_receive() -> None", "0x202 2", "received 50 frames",
                                  "receive_timeout(50) -> None"]),
    ("async_jobs.py", [], ["wait(timeout_ms=10): Async task wait timed out",
                           "wait(timeout_ms=5000) -> 49; AsyncHandle(id=1, status=completed)",
                           "the job raised, wait() reports: ValueError: bad input",
                           "is_cancelled()=True is_done()=True",
                           "eight jobs: [0, 1, 4, 9, 16, 25, 36, 49]"]),
])
def test_example_prints(iface, tmp_path, name, args, expected):
    result = run_example(name, *(str(arg).format(iface=iface) for arg in args), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    for line in expected:
        assert line in result.stdout


def test_timers_report_every_mode_and_agree_with_their_functions(tmp_path):
    result = run_example("timers.py", 0.5, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    ticks = {mode: int(n) for mode, n in re.findall(r"(normal|high|realtime):\s+(\d+) ticks", result.stdout)}
    assert set(ticks) == {"normal", "high", "realtime"} and all(ticks.values())
    seen = ast.literal_eval(re.search(r"calls seen by the functions: (\{.*\})", result.stdout).group(1))
    # A call in flight when stop() came may end after the count was read.
    assert all(0 <= seen[mode] - ticks[mode] <= 1 for mode in ticks), (seen, ticks)
    assert "'running_timers': 0" in result.stdout


def test_graceful_shutdown_ends_by_itself_after_its_time(tmp_path):
    result = run_example("graceful_shutdown.py", 0.5, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "stopped by timeout, clean=True; timers running: [False, False]" in result.stdout
    assert SHUTDOWN_OK in result.stderr


def test_graceful_shutdown_stops_on_ctrl_c(tmp_path):
    with subprocess.Popen([sys.executable, str(EXAMPLES / "graceful_shutdown.py")], cwd=tmp_path,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
        try:
            assert proc.stdout.readline().startswith("running; press Ctrl+C")
            assert proc.stdout.readline().startswith("alive")
            # The heartbeat may come before block_until has its listeners in place: wait
            # until the main thread sits in the wait itself.
            wait_until_main_thread_waits(proc.pid)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=TIME_LIMIT)
        except BaseException:
            # Left running, it never ends (and SIGTERM no longer ends it once it waited for
            # signals), so leaving the block would wait for it forever.
            proc.kill()
            raise
    assert proc.returncode == 0, err
    assert "stopped by signal:SIGINT, clean=True" in out
    assert SHUTDOWN_OK in err and "Traceback" not in err


def test_motor_control_drives_every_driver_and_logs_every_tick(iface, motor_drivers, tmp_path):
    log = tmp_path / "run.csv"
    result = run_example("motor_control.py", "--iface", iface, "--seconds", 2, "--rate", 200, "--log", log,
                         cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    ticks = int(re.search(r"control loop\s+(\d+) ticks", result.stdout).group(1))
    received = [int(n) for n in re.findall(r"slot \d \(0x20\d\): (\d+)", result.stdout)]
    assert ticks > 0 and len(received) == 4 and all(received), result.stdout
    assert f"frames sent    {ticks} broadcasts" in result.stdout
    assert re.search(r"feedback frames, unknown, 0 error frames, \d+ dropped, 0 not sent\n", result.stdout), result.stdout
    assert "shutdown       timeout, all tasks stopped" in result.stdout
    rows = log.read_text().splitlines()
    assert len(rows) == ticks + 1 and rows[0].startswith("t,target0,position0")
    assert SHUTDOWN_OK in result.stderr


def test_motor_control_refuses_an_interface_it_cannot_open(iface, tmp_path):
    result = run_example("motor_control.py", "--iface", "nosuchcan9", "--seconds", 1, cwd=tmp_path)
    assert result.returncode != 0
    assert "cannot open nosuchcan9: Failed to open CAN Socket" in result.stderr
