"""The user-mode Linux guest runner, booted for real: exact status and output,
a clean time-out, clear start failures, and the kernel's SocketCAN behaviour
that drovik's CAN tests rely on inside the guest."""
import json
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

CHECKOUT = Path(__file__).resolve().parents[2]
UML = CHECKOUT / "testing" / "uml"
ROOT = Path(os.environ.get("DROVIK_ROOT314", "/var/cache/drovik/root-3.14"))
# A safety net for a hung runner, far above a boot (a few seconds).
RUNNER_DEADLINE = 300


def _unavailable():
    if not (ROOT / "usr" / "bin" / "python3").exists():
        return f"no CPython 3.14 root at {ROOT} (scripts/root314 makes it)"
    if shutil.which("busybox") is None:
        return "no static busybox on the host (Debian package busybox-static)"
    fetched = subprocess.run([UML / "fetch-kernel", ROOT], capture_output=True, text=True)
    if fetched.returncode != 0:
        return "the user-mode-linux package cannot be had: " + fetched.stderr.strip()
    return None


@pytest.fixture(scope="module", autouse=True)
def guest_kernel():
    reason = _unavailable()
    if reason:
        pytest.skip(reason)


def run_guest(*command, options=(), root=ROOT, checkout=CHECKOUT, env=None):
    return subprocess.run(
        [UML / "run-guest", *options, root, checkout, "--", *command],
        capture_output=True, text=True, env=env, timeout=RUNNER_DEADLINE)


@pytest.mark.parametrize("ending, status", [
    ("exit 0", 0),
    ("exit 7", 7),
    ("exit 255", 255),
    ("kill -TERM $$", 128 + 15),
])
def test_status_and_output_come_back_exactly_without_the_console(ending, status):
    done = run_guest("sh", "-c", f"echo out; echo err >&2; {ending}")
    assert (done.returncode, done.stdout, done.stderr) == (status, "out\n", "err\n")


def test_command_gets_its_argv_env_and_a_writable_checkout(tmp_path):
    show = ("import json, os, sys\n"
            "seen = [sys.argv[1:], os.getcwd(), {k: os.environ.get(k) for k in sys.argv[1:]}]\n"
            "open('seen.json', 'w').write(json.dumps(seen))\n"
            "print(json.dumps(seen))\n")
    args = ["TERM", "DROVIK_GIVEN", "DROVIK_COPIED", "DROVIK_HOST_ONLY", "two words", "it's", "$HOME", ""]
    host_env = dict(os.environ, DROVIK_COPIED="from host", DROVIK_HOST_ONLY="leaked")
    done = run_guest("python3", "-c", show, *args, checkout=tmp_path, env=host_env,
                     options=["--env", "DROVIK_GIVEN=a b'c", "--env", "DROVIK_COPIED"])
    assert done.returncode == 0, done.stderr
    expected = [args, "/drovik", {
        "TERM": "dumb", "DROVIK_GIVEN": "a b'c", "DROVIK_COPIED": "from host",
        "DROVIK_HOST_ONLY": None, "two words": None, "it's": None, "$HOME": None, "": None}]
    assert json.loads(done.stdout) == expected
    assert json.loads((tmp_path / "seen.json").read_text()) == expected


def _guest_processes(marker):
    found = []
    for proc in Path("/proc").iterdir():
        try:
            if marker in (proc / "cmdline").read_bytes():
                found.append(int(proc.name))
        except (OSError, ValueError):
            continue
    return found


def test_time_out_kills_the_whole_guest_and_keeps_the_output_so_far(tmp_path):
    env = dict(os.environ, TMPDIR=str(tmp_path))
    # The time-out counts the boot too, which a loaded machine has stretched past 3 s.
    done = run_guest("sh", "-c", "echo before; exec sleep 600", options=["--timeout", "15"], env=env)
    assert done.returncode == 124
    assert done.stdout == "before\n"
    assert "ran longer than 15 s and was killed" in done.stderr
    # SIGKILLed guest processes may take a moment to vanish from /proc.
    marker = f"drovik_job={tmp_path}".encode()
    deadline = time.monotonic() + 30
    while _guest_processes(marker) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert _guest_processes(marker) == []
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("case, message", [
    ("absent root", "is not a directory"),
    ("root without a shell", "has no bin/sh"),
    ("too little memory", "the guest ended without running the command"),
])
def test_guest_that_cannot_start_says_why(tmp_path, case, message):
    root, options = ROOT, []
    if case == "absent root":
        root = tmp_path / "absent"
    elif case == "root without a shell":
        root = tmp_path
    else:
        options = ["--mem", "8M"]
    done = run_guest("true", root=root, options=options)
    assert done.returncode == 125
    assert done.stdout == ""
    assert message in done.stderr


# Runs in the guest's Python 3.14 and reports what the kernel did, as JSON.
CAN_PROBE = r'''
import errno, json, socket, subprocess, sys
sys.path.insert(0, "tests/support")  # the checkout is the working directory
from peer import FRAME

def can(ifname, blocking=True):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.bind((ifname,))
    s.settimeout(5.0 if blocking else 0.0)
    return s

def frame(word, data):
    return FRAME.pack(word, len(data), data)

def failure(call):
    try:
        call()
    except OSError as error:
        return errno.errorcode.get(error.errno, str(error.errno))
    return None

def fill(s):
    return failure(lambda: [s.send(frame(0x1, b"x")) for _ in range(100000)])

def sh(command):
    subprocess.run(command, shell=True, check=True)

seen = {}
tx, rx, other = can("vcan0"), can("vcan0"), can("vcan1", blocking=False)
sent = [(0x123, b"hi"), (0x80000800, b"12345678"), (0x7FF, b"")]
for word, data in sent:
    tx.send(frame(word, data))
got = [FRAME.unpack(rx.recv(16)) for _ in sent]
seen["exchange"] = [[word, data[:n].hex()] for word, n, data in got]
seen["other interface"] = failure(lambda: other.recv(16))

full = can("vcan0", blocking=False)
sh("tc qdisc add dev vcan0 root plug limit 1000000")   # holds frames, room for many
seen["send buffer full"] = fill(full)
sh("tc qdisc replace dev vcan0 root plug limit 1")    # no room for one frame
seen["queue full"] = fill(can("vcan0", blocking=False))
sh("tc qdisc del dev vcan0 root")

writer, reader = can("vcan0"), can("vcan0")
sh("ip link set vcan0 down")
seen["write while down"] = failure(lambda: writer.send(frame(0x1, b"x")))
seen["read after down"] = failure(lambda: reader.recv(16))
print(json.dumps(seen))
'''


@pytest.fixture(scope="module")
def can_probe():
    done = run_guest("python3", "-c", CAN_PROBE)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("observation, expected", [
    ("exchange", [[0x123, "6869"], [0x80000800, "3132333435363738"], [0x7FF, ""]]),
    ("other interface", "EAGAIN"),
    ("send buffer full", "EAGAIN"),
    ("queue full", "ENOBUFS"),
    ("write while down", "ENETDOWN"),
    ("read after down", "ENETDOWN"),
])
def test_guest_kernel_gives_real_socketcan_behaviour(can_probe, observation, expected):
    assert can_probe[observation] == expected
