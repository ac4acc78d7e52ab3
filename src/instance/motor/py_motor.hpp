#pragma once

#include <Python.h>

namespace drovik::motor {

// The Python class Motor: one broadcast group.
PyTypeObject* motor_type();

}  // namespace drovik::motor
