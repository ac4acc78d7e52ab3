import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from subproc import PROBE_DIR

if PROBE_DIR:
    sys.path.insert(0, PROBE_DIR)


@pytest.fixture
def probe():
    if not PROBE_DIR:
        pytest.skip("DROVIK_PROBE_DIR is not set: the test command builds the layer probe")
    import _drovik_probe

    return _drovik_probe


@pytest.fixture
def handles():
    """Timer handles a test started, stopped at its end."""
    started = []
    yield started
    for handle in started:
        handle.stop()
