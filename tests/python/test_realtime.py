"""The real-time opt-in (DROVIK_RT_PRIORITY, DROVIK_RT_CPUS, DROVIK_RT_MLOCK): read when the first precision
timer starts, so every case runs in a fresh interpreter."""
import ctypes
import json
import os
import resource
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from subproc import run_python

SCHED_RESET_ON_FORK = 0x40000000
CAP_IPC_LOCK = 14
CAP_SYS_NICE = 23
PR_CAPBSET_DROP = 24
# The address sanitizer's runtime turns mlockall into a no-op that succeeds.
MLOCK_WORKS = "libasan" not in os.environ.get("LD_PRELOAD", "")

# Shared by the child programs: a thread's policy and priority, threads by name.
HELPERS = """
import json, os, threading, time
import drovik

def policy(tid=0):
    return [os.sched_getscheduler(tid) & ~0x40000000, os.sched_getparam(tid).sched_priority]

def threads_named(prefix):
    found = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm:
                if comm.read().startswith(prefix):
                    found.append(int(tid))
        except OSError:
            pass  # the thread ended meanwhile
    return found

def poll(predicate, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "background work did not happen in time"
        time.sleep(0.002)
"""


def fifo_permitted():
    outcome = []

    def attempt():
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(1))
            os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))
            outcome.append(True)
        except OSError:
            outcome.append(False)

    thread = threading.Thread(target=attempt)
    thread.start()
    thread.join()
    return outcome[0]


needs_fifo = pytest.mark.skipif(not fifo_permitted(), reason="SCHED_FIFO is not permitted here")


def child(code, env, timeout=60):
    result = run_python(HELPERS + textwrap.dedent(code), timeout=timeout, env=env)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1]), result.stderr


def test_malformed_values_raise_value_error_and_start_nothing():
    report, stderr = child("""
        cases = [("DROVIK_RT_PRIORITY", "0"), ("DROVIK_RT_PRIORITY", "high"), ("DROVIK_RT_CPUS", "2-"),
                 ("DROVIK_RT_MLOCK", "yes"), ("DROVIK_TIMER_SPIN", "spin")]
        seen = []
        for realtime in (False, True):
            for name, value in cases:
                os.environ[name] = value
                normal = drovik.timer(50.0)(lambda: None)()  # normal timers never read the variables
                normal.stop()
                try:
                    drovik.precision_timer(100.0, realtime=realtime)(lambda: None)()
                    seen.append([name, value, None])
                except ValueError as error:
                    seen.append([name, value, str(error)])
                del os.environ[name]
        timers_left = drovik.get_task_manager().running_count
        threads_left = threads_named("timer-")
        # Nothing was kept from the malformed reads: a start with sound values runs.
        calls = []
        handle = drovik.precision_timer(100.0)(lambda: calls.append(1))()
        poll(lambda: calls)
        handle.stop()
        print(json.dumps({"seen": seen, "timers_left": timers_left, "threads_left": threads_left}))
    """, {})
    assert report["timers_left"] == 0 and report["threads_left"] == []
    assert len(report["seen"]) == 10
    for name, value, message in report["seen"]:
        assert message is not None and message.startswith(f"{name}='{value}' is not "), (name, value, message)
    assert stderr == ""


def expected_policies(priority):
    fifo = os.SCHED_FIFO
    return {
        "timer": [fifo, priority] if priority else [os.SCHED_OTHER, 0],
        "timer_child": [os.SCHED_OTHER, 0],
        "main": [os.SCHED_OTHER, 0],
        "job": [os.SCHED_OTHER, 0],
    }


@pytest.mark.parametrize("priority", [0, pytest.param(30, marks=needs_fifo)], ids=["default", "opt-in"])
def test_only_timer_threads_and_workers_on_duty_are_raised(priority):
    cpu = min(os.sched_getaffinity(0))
    env = {"DROVIK_RT_PRIORITY": str(priority), "DROVIK_RT_CPUS": str(cpu), "DROVIK_RT_MLOCK": "1"} if priority else {}
    report, stderr = child(f"""
        seen = {{}}
        def tick():
            if "timer" not in seen:
                seen["timer_cpus"] = sorted(os.sched_getaffinity(0))
                # A thread a callback starts begins with ordinary scheduling.
                started = threading.Thread(target=lambda: seen.__setitem__("timer_child", policy()))
                started.start()
                started.join()
                seen["timer"] = policy()

        drovik.run_async(policy)().wait(5000)   # the runtime's workers exist before the timer starts
        handle = drovik.precision_timer(200.0)(tick)()
        poll(lambda: "timer" in seen)
        seen["job"] = drovik.run_async(policy)().wait(5000)
        seen["main"] = policy()
        workers = len(os.sched_getaffinity(0))
        raised = lambda: [policy(tid) for tid in threads_named("drovik-rt") if policy(tid)[0] != 0]
        # The thread that took over a worker's duty for the job raises itself as it starts serving.
        poll(lambda: len(raised()) == (workers if {priority} else 0))
        seen["raised_workers"] = raised()
        seen["workers"] = workers
        seen["locked_kb"] = int(next(l for l in open("/proc/self/status") if l.startswith("VmLck")).split()[1])
        handle.stop()
        print(json.dumps(seen))
    """, env)
    for key, expected in expected_policies(priority).items():
        assert report[key] == expected, key
    if priority:
        assert report["timer_cpus"] == [cpu]
        assert report["raised_workers"] == [[os.SCHED_FIFO, priority - 1]] * report["workers"]
        assert report["locked_kb"] > 0 or not MLOCK_WORKS
    else:
        assert report["timer_cpus"] == sorted(os.sched_getaffinity(0))
        assert report["raised_workers"] == []
        assert report["locked_kb"] == 0
    assert stderr == ""


def refused_child_setup():
    """Before exec: neither CAP_SYS_NICE nor CAP_IPC_LOCK (root keeps them only through the bounding set),
    RLIMIT_RTPRIO and RLIMIT_MEMLOCK 0."""
    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (CAP_SYS_NICE, CAP_IPC_LOCK):
        libc.prctl(PR_CAPBSET_DROP, capability, 0, 0, 0)  # fails harmlessly without CAP_SETPCAP
    resource.setrlimit(resource.RLIMIT_RTPRIO, (0, 0))
    resource.setrlimit(resource.RLIMIT_MEMLOCK, (0, 0))


def test_refused_requests_warn_once_and_timers_run_ordinary():
    code = HELPERS + textwrap.dedent("""
        counts = [[], []]
        handles = [drovik.precision_timer(200.0)(counts[i].append)(i) for i in range(2)]
        job = drovik.run_async(policy)().wait(5000)
        poll(lambda: all(len(c) >= 5 for c in counts))
        later = drovik.precision_timer(200.0)(lambda: None)()
        poll(lambda: later.tick_count() >= 5)
        timers = [policy(tid) for tid in threads_named("timer-")]
        cpus = [sorted(os.sched_getaffinity(tid)) for tid in threads_named("timer-")]
        for handle in handles + [later]:
            handle.stop()
        print(json.dumps({"timers": timers, "job": job, "cpus": cpus}))
    """)
    env = dict(os.environ, DROVIK_RT_PRIORITY="30", DROVIK_RT_CPUS="1000", DROVIK_RT_MLOCK="1")
    can_raise = subprocess.run([sys.executable, "-c", "import os; os.sched_setscheduler(0, os.SCHED_FIFO, "
                                "os.sched_param(1))"], preexec_fn=refused_child_setup, capture_output=True)
    if can_raise.returncode == 0:
        pytest.skip("this process cannot be made to lack the permission")
    result = subprocess.run([sys.executable, "-c", code], preexec_fn=refused_child_setup, env=env,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["timers"] == [[os.SCHED_OTHER, 0]] * 3
    assert report["job"] == [os.SCHED_OTHER, 0]
    assert all(cpus == sorted(os.sched_getaffinity(0)) for cpus in report["cpus"])
    lines = result.stderr.splitlines()
    refused = ("PRIORITY", "CPUS", "MLOCK") if MLOCK_WORKS else ("PRIORITY", "CPUS")
    assert len(lines) == len(refused), lines
    priority_line, cpus_line, mlock_line = (next((line for line in lines if name in line), None)
                                            for name in ("PRIORITY", "CPUS", "MLOCK"))
    assert priority_line.startswith("Warning: DROVIK_RT_PRIORITY=30 refused for precision timer and runtime "
                                    "threads: Operation not permitted (os error 1); needs CAP_SYS_NICE or an "
                                    "RLIMIT_RTPRIO of at least 30 (ulimit -r here: 0)")
    assert cpus_line.startswith("Warning: DROVIK_RT_CPUS=1000 refused: Invalid argument (os error 22)")
    if MLOCK_WORKS:
        assert mlock_line.startswith("Warning: DROVIK_RT_MLOCK=1 refused: ")


@needs_fifo
def test_raised_timer_that_overruns_its_period_leaves_the_cpu_to_others():
    cpu = min(os.sched_getaffinity(0))
    hog = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        os.sched_setaffinity(hog.pid, {cpu})
        code = HELPERS + textwrap.dedent(f"""
            import signal, sys
            os.sched_setaffinity(0, {{{cpu}}})   # every thread of this process on the hog's CPU
            answered = threading.Event()
            signal.signal(signal.SIGUSR1, lambda *_: answered.set())

            def overrun():   # twice the period, holding the interpreter lock throughout
                end = time.perf_counter() + 0.010
                while time.perf_counter() < end:
                    pass

            def cpu_ticks(path):
                fields = open(path).read().rsplit(")", 1)[1].split()
                return int(fields[11]) + int(fields[12])

            def switches(tid):
                for line in open(f"/proc/self/task/{{tid}}/status"):
                    if line.startswith("voluntary_ctxt_switches"):
                        return int(line.split()[1])

            handle = drovik.precision_timer(200.0)(overrun)()
            poll(lambda: handle.tick_count() >= 3)
            [tid] = threads_named("timer-")
            # Sleeps read before ticks at the start and after them at the end: a tick
            # between two reads can only add to the sleeps counted.
            slept, ticks, hog = switches(tid), handle.tick_count(), cpu_ticks("/proc/{hog.pid}/stat")
            time.sleep(1.0)   # one long wait: this thread never asks for the lock meanwhile
            ticks = handle.tick_count() - ticks
            slept = switches(tid) - slept
            hog = cpu_ticks("/proc/{hog.pid}/stat") - hog
            print("ready", flush=True)
            poll(answered.is_set)
            handle.stop()
            print(json.dumps({{"policy": policy(tid), "ticks": ticks, "slept": slept, "hog": hog}}))
        """)
        env = dict(os.environ, DROVIK_RT_PRIORITY="30", DROVIK_RT_CPUS=str(cpu))
        with subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) as proc:
            try:
                assert proc.stdout.readline() == "ready\n"
                proc.send_signal(signal.SIGUSR1)
                out, err = proc.communicate(timeout=20)   # the handler runs although the timer overruns
            finally:
                proc.kill()
        assert proc.returncode == 0, err
        report = json.loads(out.splitlines()[-1])
    finally:
        hog.kill()
        hog.wait()
    assert report["policy"] == [os.SCHED_FIFO, 30]
    assert report["ticks"] >= 10
    # Every cycle sleeps, however late the call ran; and the ordinary process on that CPU got some of it.
    assert report["slept"] >= report["ticks"] - 1
    assert report["hog"] > 0
