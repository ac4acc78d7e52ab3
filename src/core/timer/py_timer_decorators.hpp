// The decorators timer and precision_timer, as functions and as the classes
// Timer and PrecisionTimer they return. They check the frequency (a ValueError
// before any function is seen) and wrap the decorated callable in a
// TimerWrapper; nothing runs until that is called.
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
