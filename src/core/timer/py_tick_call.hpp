// The timer's Python function as a tick: a background thread attaches, calls
// it, and reports what it raised on standard error.
#pragma once

#include <Python.h>

#include "core/timer/tick_call.hpp"

namespace drovik::timer {

// The caller holds the GIL; the call keeps its own references to both objects.
SharedTickCall python_tick_call(PyObject* func, PyObject* args);

}  // namespace drovik::timer
