#pragma once

#include <Python.h>

namespace drovik::timer {

// The Python classes Timer and PrecisionTimer: decorators that make TimerWrappers.
PyTypeObject* timer_type();
PyTypeObject* precision_timer_type();

// The module functions timer and precision_timer.
extern PyMethodDef timer_function;
extern PyMethodDef precision_timer_function;

}  // namespace drovik::timer
