"""What reaches the interpreter from background threads around its exit and
across fork(): a job started once the exit has begun is refused visibly, and a
child forked inside a call never runs the module's loops."""

import pytest

from subproc import run_python

REFUSED = "InternalFailure: the interpreter is exiting; the job was not run"


def test_a_job_started_during_finalisation_is_refused_visibly():
    result = run_python(
        """
        import drovik
        class Late:
            def __del__(self):
                handle = drovik.run_async(lambda: 1)()
                try:
                    print("returned", handle.wait(500), flush=True)
                except RuntimeError as e:
                    print("raised", e, flush=True)
        assert drovik.run_async(int)().wait() == 0
        late = Late()
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"raised {REFUSED}"]
    [line] = result.stderr.splitlines()
    assert line.startswith("drovik: internal failure in thread '") and line.endswith(
        ") not run: the interpreter is exiting"), line


START = {
    "precision": "handle = drovik.precision_timer(200.0)(body)()",
    "normal": "handle = drovik.timer(200.0)(body)()",
    "run_async": "handle = drovik.run_async(body)()",
}


@pytest.mark.parametrize("mode", sorted(START))
def test_a_child_forked_inside_a_call_ends_quietly_when_it_returns(mode):
    result = run_python(
        f"""
        import os, time, warnings, drovik
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside other threads
        children = []
        def body():  # one write per line: parent and child share the pipe
            os.write(1, f"call {{os.getpid()}}\\n".encode())
            if not children:
                children.append(os.fork())
                if children[0] == 0:
                    os.write(1, b"child returns\\n")
        {START[mode]}
        while not children:
            time.sleep(0.001)
        _, status = os.waitpid(children[0], 0)
        time.sleep(0.05)  # the parent's loop goes on meanwhile
        if hasattr(handle, "stop"):
            handle.stop()
        # One write too: a tick already under way when stop() returns still writes its line.
        os.write(1, f"child status {{os.waitstatus_to_exitcode(status)}}\\n".encode())
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines.count("child returns") == 1 and "child status 0" in lines, lines
    parent = {line for line in lines if line.startswith("call ")}
    assert len(parent) == 1, lines  # no call ever came from the child
    assert result.stderr == ""


@pytest.mark.parametrize("ending, status", [("", 0), ("raise ValueError('at the end')", 1)])
def test_a_call_that_never_returns_ends_the_process_at_exit_with_output_flushed(ending, status):
    result = run_python(
        f"""
        import drovik, threading
        inside = threading.Event()
        def spin():
            inside.set()
            while True:
                pass
        job = drovik.run_async(spin)()
        inside.wait(20)
        job.cancel()  # no drop warning: only the exit is under test
        print("bye")  # left in the buffer of a piped stdout
        {ending}
        """,
        timeout=60,
    )
    assert (result.returncode, result.stdout) == (status, "bye\n"), result.stderr
    assert ("ValueError: at the end" in result.stderr) == bool(ending), result.stderr
