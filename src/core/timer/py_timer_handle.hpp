// The Python class TimerHandle: a started timer as its caller holds it, and the
// timer's lifeline. Releasing the handle stops the timer, and so does the
// collector breaking a cycle through it: for that the handle reports the timer's
// function and arguments to the collector.
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
