"""Runs an example as a user would: a fresh interpreter, its own working directory."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
TIME_LIMIT = 120  # seconds; generous, only there so a hung example fails instead of stalling the run


def run_example(name, *args, cwd):
    return subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=TIME_LIMIT)
