// The Python class Motor: one broadcast group on one CAN interface. Making one
// starts the group's background CAN device and feedback task; add_device,
// set_target and broadcast only touch the group's list and send queue, never the
// bus. Releasing the Motor aborts its feedback task.
#pragma once

#include <Python.h>

namespace drovik::motor {

// The Python class Motor: one broadcast group.
PyTypeObject* motor_type();

}  // namespace drovik::motor
