// The Python class TimerWrapper: the decorated function. Each call starts one
// timer with the call's arguments (a task on the shared runtime for a normal
// timer, a thread of its own for a precision one), registers it and returns its
// TimerHandle.
#pragma once

#include <Python.h>

#include <chrono>

#include "core/timer/timer_precision.hpp"
#include "py/ref.hpp"

namespace drovik::timer {

// The Python class TimerWrapper: a decorated function; each call starts a timer.
PyTypeObject* timer_wrapper_type();

// `period` is the one the frequency was validated with.
py::Ref make_timer_wrapper(PyObject* func, double frequency, std::chrono::nanoseconds period, TimerPrecision precision);

}  // namespace drovik::timer
