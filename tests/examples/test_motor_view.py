"""The demo's lateness figures recover each tick's delay whatever the grid's phase."""

import sys

import pytest

from example_runner import EXAMPLES

sys.path.insert(0, str(EXAMPLES))
from motor_view import grid_lateness_us  # noqa: E402

PERIOD = 0.002
DELAYS_US = [3, 5, 4, 40, 3, 250, 6, 3, 1500, 4, 3, 5] * 10


@pytest.mark.parametrize("phase", [0.0, 0.3 * PERIOD, 0.97 * PERIOD, 0.99999 * PERIOD])
def test_delays_come_back_for_any_phase(phase):
    times = [phase + k * PERIOD + delay * 1e-6 for k, delay in enumerate(DELAYS_US)]
    assert grid_lateness_us(times, PERIOD) == pytest.approx([d - min(DELAYS_US) for d in DELAYS_US], abs=0.01)


def test_a_tick_later_than_a_period_counts_from_the_deadline_it_ran_in():
    # Deadline 5 was missed by 2.3 periods: the timer skipped deadlines 6 and 7 and ran in 7's period.
    times = [k * PERIOD + 3e-6 for k in range(40) if k not in (5, 6, 7)] + [5 * PERIOD + 2.3 * PERIOD]
    assert max(grid_lateness_us(times, PERIOD)) == pytest.approx(0.3 * PERIOD * 1e6 - 3, abs=0.01)


def test_no_ticks_give_no_figures():
    assert grid_lateness_us([], PERIOD) == []


def test_a_stray_tick_almost_a_period_late_does_not_pass_for_the_grid():
    delays = [3e-6] * 50 + [PERIOD - 30e-6] + [3e-6] * 50
    times = [0.4 * PERIOD + k * PERIOD + delay for k, delay in enumerate(delays)]
    lateness = grid_lateness_us(times, PERIOD)
    assert lateness[50] == pytest.approx(PERIOD * 1e6 - 33, abs=0.01)
    assert max(lateness[:50] + lateness[51:]) == pytest.approx(0, abs=0.01)
