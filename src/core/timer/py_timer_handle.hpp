#pragma once

#include <Python.h>

#include <memory>

#include "core/timer/py_tick_call.hpp"
#include "core/timer/timer_handle.hpp"
#include "py/ref.hpp"

namespace drovik::timer {

// The Python class TimerHandle: no constructor, returned by a started timer.
PyTypeObject* timer_handle_type();

// `call` is the tick call the timer runs.
py::Ref wrap_timer_handle(TimerHandle handle, std::shared_ptr<PythonTickCall> call);

}  // namespace drovik::timer
