#pragma once

#include <Python.h>

#include "core/timer/timer_handle.hpp"
#include "py/ref.hpp"

namespace drovik::timer {

// The Python class TimerHandle: no constructor, returned by a started timer.
PyTypeObject* timer_handle_type();

py::Ref wrap_timer_handle(TimerHandle handle);

}  // namespace drovik::timer
