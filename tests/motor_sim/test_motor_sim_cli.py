"""The command line: argument errors in-process, the running program as a subprocess."""

import os
import select
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from peer import DEADLINE
from motor_sim.__main__ import main

TESTING = Path(__file__).resolve().parents[2] / "testing"


@pytest.mark.parametrize(
    "args, message",
    [
        (["--driver", "slot=9,id=0x201,mode=speed"], "slot 9 outside 0-3"),
        (["--driver", "slot=0,id=0x201,mode=torque"], "unknown mode 'torque'"),
        (["--driver", "slot=0,id=0x201,mode=speed", "--broadcast-id", "0x1g"], "--broadcast-id"),
        ([], "--driver"),
    ],
)
def test_argument_errors_exit_with_status_2(capsys, args, message):
    with pytest.raises(SystemExit) as stopped:
        main(args)
    assert stopped.value.code == 2
    assert message in capsys.readouterr().err


def start(*args: str) -> subprocess.Popen:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(TESTING), os.environ.get("PYTHONPATH")])))
    return subprocess.Popen([sys.executable, "-m", "motor_sim", *args], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def first_line(proc: subprocess.Popen) -> str:
    ready, _, _ = select.select([proc.stdout], [], [], DEADLINE)
    assert ready, f"motor_sim said nothing within {DEADLINE} s"
    return proc.stdout.readline()


@pytest.mark.parametrize("signo", [signal.SIGINT, signal.SIGTERM])
def test_runs_until_a_signal_then_stops_cleanly(can_iface, peer, signo):
    proc = start("--iface", can_iface, "--broadcast-id", "0x100", "--driver", "slot=1,id=0x201,mode=speed",
                 "--rate", "500")
    try:
        assert first_line(proc) == f"motor_sim: ready on {can_iface}\n"
        peer.broadcast((0, 100, 0, 0))
        peer.feedback_until(0x201, lambda d: d[4:6] == b"\x64\x00")
        proc.send_signal(signo)
        out, err = proc.communicate(timeout=DEADLINE)
    finally:
        proc.kill()
        proc.wait()
    assert proc.returncode == 0, err
    assert "motor_sim: stopped after 1 broadcasts," in err


def test_a_missing_interface_fails_with_its_error(can_iface):
    proc = start("--iface", "nosuchcan0", "--driver", "slot=0,id=0x201,mode=speed")
    _, err = proc.communicate(timeout=DEADLINE)
    assert proc.returncode == 1
    assert err.startswith("motor_sim: nosuchcan0: [Errno 19]")
