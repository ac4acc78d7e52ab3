"""Simulated motor drivers on a SocketCAN interface, for tests and demos.

Written from the frame layouts alone, sharing no code with the drovik module,
so an encoding fault on either side shows up as a disagreement on the bus.
"""

from .driver_config import DriverConfig, Mode
from .simulator import MotorSimulator

__all__ = ["DriverConfig", "Mode", "MotorSimulator"]
