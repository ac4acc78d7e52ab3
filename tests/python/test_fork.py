"""A process forked after drovik started its background threads gets a clear
error instead of a hang; one forked before gets its own fresh machinery."""

import pytest

from subproc import run_python

REFUSAL = ("drovik cannot be used in a process forked after its background threads started; use it in the "
           "parent, or start child processes with the 'spawn' or 'forkserver' method")


def test_child_forked_after_start_is_refused_and_never_hangs():
    result = run_python(
        """
        import os, drovik
        assert drovik.run_async(int)().wait() == 0  # the runtime runs
        keep = drovik.run_async(int)
        handle = keep()
        handle.wait()
        pid = os.fork()
        if pid == 0:
            try:
                keep()
            except RuntimeError as e:
                print("child:", e, flush=True)
            try:
                repr(handle)
            except RuntimeError:
                print("child: repr refused", flush=True)
            del handle, keep  # releasing inherited objects must not hang either
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print("parent:", os.waitstatus_to_exitcode(status), drovik.run_async(lambda: 7)().wait(), flush=True)
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"child: {REFUSAL}", "child: repr refused", "parent: 0 7"]


def test_child_forked_before_start_has_its_own_runtime():
    result = run_python(
        """
        import os, drovik
        pid = os.fork()
        if pid == 0:
            print("child:", drovik.run_async(lambda: 5)().wait(), flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        print("parent:", drovik.run_async(lambda: 6)().wait(), flush=True)
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["child: 5", "parent: 6"]


@pytest.mark.parametrize("uses_drovik, expected", [(False, "ok"), (True, "refused")])
def test_multiprocessing_fork_children(uses_drovik, expected):
    result = run_python(
        f"""
        import multiprocessing as mp, drovik
        def work(_):
            if {uses_drovik!r}:
                try:
                    drovik.run_async(int)()
                except RuntimeError:
                    return "refused"
                return "ran"
            return "ok"
        if __name__ == "__main__":
            drovik.run_async(int)().wait()
            with mp.get_context("fork").Pool(2) as pool:
                print(set(pool.map(work, range(4))), flush=True)
        """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == repr({expected})
