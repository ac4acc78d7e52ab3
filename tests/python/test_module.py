import shutil
import subprocess
import sys

import drovik
import pytest

from subproc import run_python

# The module's own names, in the order they stand in the module dictionary.
SURFACE = [
    "AsyncHandle", "CanDevice", "CanDeviceNonBlocking", "Device", "Motor", "PrecisionTimer", "TaskManager",
    "RunAsync", "Timer", "TimerHandle", "TimerWrapper",
    "timer", "precision_timer", "run_async", "get_task_manager", "shutdown_all", "block_all", "block_until",
]

STANDARD = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


def test_module_holds_exactly_its_surface_in_order():
    own = [name for name in vars(drovik) if name not in STANDARD]
    assert own == SURFACE
    assert set(dir(drovik)) == STANDARD | set(SURFACE)


def test_module_is_a_single_extension_with_a_one_sentence_doc():
    assert drovik.__file__.endswith(".so")
    assert not hasattr(drovik, "__path__")
    doc = drovik.__doc__.strip()
    assert doc.endswith(".") and doc.count(". ") == 0


def test_import_starts_no_thread_and_opens_nothing():
    result = run_python(
        """
        import os
        tasks, fds = len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))
        import drovik
        print(len(os.listdir("/proc/self/task")) - tasks, len(os.listdir("/proc/self/fd")) - fds)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "0"]


def test_reimport_returns_the_same_module():
    first = drovik
    del sys.modules["drovik"]
    import drovik as again

    assert again is first
    assert sys.modules["drovik"] is first


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", drovik.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_drovik"]


SUBINTERPRETER = """
import sys
if {main_first}:
    import drovik
code = "import drovik; drovik.precision_timer(5000)(print)(); drovik.timer(5000)(print)()"
try:
    import _interpreters as interpreters
    interp = interpreters.create("legacy")
    failure = interpreters.exec(interp, code)
    print(failure.type.__name__ if failure else "imported", failure.msg if failure else "")
except ImportError:
    import _xxsubinterpreters as interpreters
    interp = interpreters.create(isolated=False) if sys.version_info >= (3, 12) else interpreters.create()
    try:
        interpreters.run_string(interp, code)
        print("imported")
    except interpreters.RunFailedError as failure:
        print(str(failure))
interpreters.destroy(interp)
import drovik
print(drovik.run_async(lambda: "main works")().wait())
"""


# Whichever imports first, only the main interpreter gets the module: a
# sub-interpreter may go away while threads it started still call into it.
@pytest.mark.parametrize("main_first", [True, False])
def test_import_into_a_sub_interpreter_is_refused(main_first):
    result = run_python(SUBINTERPRETER.format(main_first=main_first))
    assert result.returncode == 0, result.stderr
    refusal, works = result.stdout.splitlines()
    assert "ImportError" in refusal and "sub-interpreters" in refusal
    assert works == "main works"
