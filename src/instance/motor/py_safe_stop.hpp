// The safe stop seen from Python: which thread asks (a program thread, or a
// drovik thread inside a timer's or a job's call), and the hooks that make
// every stop of the program and its exit send the stop frames, armed at the
// first stop target.
#pragma once

#include "instance/motor/stop_hold.hpp"

namespace drovik::motor {

Caller calling_thread() noexcept;

// Once per process, holding the GIL.
void arm_safe_stop();

}  // namespace drovik::motor
