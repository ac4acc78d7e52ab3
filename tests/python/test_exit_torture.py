"""A short round of the exit torture: programs that end with timers and jobs
inside long calls, beside a CPU load, end at once, quietly, with status 0."""

import pytest

from exit_torture import VARIANTS, torture


@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_exit_with_calls_inside_is_prompt_and_quiet(variant):
    counts, failures = torture([variant], runs=8, load=2)
    assert failures == [], failures
    assert counts[variant]["ok"] == 8
