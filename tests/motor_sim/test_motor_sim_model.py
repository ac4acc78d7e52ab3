"""The per-driver motor model, stepped by hand: no bus needed."""

import pytest

from motor_sim import Mode
from motor_sim.motor_model import FRICTION, MAX_POSITIONING_SPEED, TORQUE_CONSTANT, MotorModel

STEP = 1e-3


def run(model: MotorModel, steps: int, dt: float = STEP) -> list[tuple[float, float, float]]:
    states = []
    for _ in range(steps):
        model.advance(dt)
        states.append((model.position, model.speed, model.current))
    return states


@pytest.mark.parametrize("target", [10.0, -5.0, 3276.7])
def test_speed_mode_ramps_onto_the_target_and_holds_it(target):
    model = MotorModel(Mode.SPEED)
    model.target = target
    states = run(model, 3000)
    speeds = [s for _, s, _ in states]
    assert speeds[-1] == target
    assert all(abs(a) <= abs(b) for a, b in zip(speeds, speeds[1:]))  # no overshoot
    accelerating = states[0][2]
    assert accelerating * target > 0  # the torque demand pulls toward the target
    assert states[-1][2] == pytest.approx(FRICTION * target / TORQUE_CONSTANT)
    assert states[-1][0] * target > 0


@pytest.mark.parametrize("start, target", [(0.0, 3.14), (0.0, -1.57), (3.14, -3.14), (0.0, 0.01)])
@pytest.mark.parametrize("dt", [STEP, 0.02, 5.0])
def test_position_mode_settles_exactly_at_rest(start, target, dt):
    model = MotorModel(Mode.POSITION)
    model.target = start
    run(model, 5000, dt)
    assert (model.position, model.speed) == (start, 0.0)
    model.target = target
    states = run(model, 5000, dt)
    assert (model.position, model.speed, model.current) == (target, 0.0, 0.0)
    assert max(abs(s) for _, s, _ in states) <= MAX_POSITIONING_SPEED


@pytest.mark.parametrize("target", [1.0, -327.68, 327.67])
def test_current_mode_holds_the_current_and_the_shaft_speeds_up_against_friction(target):
    model = MotorModel(Mode.CURRENT)
    model.target = target
    states = run(model, 200)
    assert all(c == target for _, _, c in states)
    speeds = [s for _, s, _ in states]
    assert all(abs(b) > abs(a) for a, b in zip(speeds, speeds[1:]))
    assert all(abs(s) < abs(TORQUE_CONSTANT * target / FRICTION) for s in speeds)
    assert speeds[-1] * target > 0 and states[-1][0] * target > 0


@pytest.mark.parametrize("mode", list(Mode))
@pytest.mark.parametrize("dt", [0.0, -1.0])
def test_time_standing_still_changes_nothing(mode, dt):
    model = MotorModel(mode)
    model.target = 1.0
    model.advance(dt)
    assert (model.position, model.speed, model.current) == (0.0, 0.0, 0.0)
