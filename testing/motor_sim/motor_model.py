"""A small rigid motor on a shaft with viscous friction, one per driver.

Speed mode ramps the speed to its target at a bounded acceleration; position
mode drives along a braking curve and settles exactly on the target; current
mode holds the current and lets the shaft accelerate against friction. The
current reported in the first two modes is what the torque demand draws.
"""

import math

from .driver_config import Mode

INERTIA = 1e-3  # kg m^2
TORQUE_CONSTANT = 0.1  # N m per A
FRICTION = 5e-4  # N m per rad/s
MAX_ACCELERATION = 2000.0  # rad/s^2
MAX_POSITIONING_SPEED = 50.0  # rad/s


def _toward(value: float, goal: float, limit: float) -> float:
    return value + max(-limit, min(limit, goal - value))


class MotorModel:
    def __init__(self, mode: Mode):
        self.mode = mode
        self.target = 0.0
        self.position = 0.0
        self.speed = 0.0
        self.current = 0.0

    def advance(self, dt: float) -> None:
        if dt <= 0.0:
            return
        if self.mode is Mode.CURRENT:
            self._drive_current(dt)
        elif self.mode is Mode.SPEED:
            self._follow_speed(self.target, dt)
        else:
            self._follow_position(dt)

    def _drive_current(self, dt: float) -> None:
        # J dw/dt = Kt I - b w, solved exactly over the step.
        self.current = self.target
        final = TORQUE_CONSTANT * self.current / FRICTION
        start = self.speed
        decay = math.exp(-dt * FRICTION / INERTIA)
        self.speed = final + (start - final) * decay
        self.position += final * dt + (start - final) * (1.0 - decay) * INERTIA / FRICTION

    def _follow_speed(self, goal: float, dt: float) -> None:
        start = self.speed
        self.speed = _toward(start, goal, MAX_ACCELERATION * dt)
        self.position += 0.5 * (start + self.speed) * dt
        self._draw_current((self.speed - start) / dt)

    def _follow_position(self, dt: float) -> None:
        error = self.target - self.position
        braking = math.sqrt(2.0 * MAX_ACCELERATION * abs(error))
        start = self.position
        self._follow_speed(math.copysign(min(MAX_POSITIONING_SPEED, braking), error), dt)
        moved = self.position - start
        if moved * error > 0.0 and abs(moved) >= abs(error):
            # This step reached the target: settle on it, at rest, rather than hunt around it.
            self.position = self.target
            self.speed = 0.0
            self.current = 0.0

    def _draw_current(self, acceleration: float) -> None:
        self.current = (INERTIA * acceleration + FRICTION * self.speed) / TORQUE_CONSTANT
