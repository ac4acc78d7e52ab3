import os
import subprocess
import sys
import textwrap

import pytest

PROBE_DIR = os.environ.get("DROVIK_PROBE_DIR")
if PROBE_DIR:
    sys.path.insert(0, PROBE_DIR)


@pytest.fixture
def probe():
    if not PROBE_DIR:
        pytest.skip("DROVIK_PROBE_DIR is not set: the test command builds the layer probe")
    import _drovik_probe

    return _drovik_probe


def run_python(code, timeout=60, env=None):
    """Runs code in a fresh interpreter; returns the CompletedProcess (text mode)."""
    full_env = dict(os.environ)
    if PROBE_DIR:
        full_env["PYTHONPATH"] = os.pathsep.join(filter(None, [PROBE_DIR, full_env.get("PYTHONPATH")]))
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
    )
