import os
import subprocess
import sys
import textwrap

PROBE_DIR = os.environ.get("DROVIK_PROBE_DIR")


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
