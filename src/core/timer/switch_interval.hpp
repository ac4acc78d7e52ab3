// While precision timers run, the interpreter's switch interval is lowered so
// that a timer thread waiting for the GIL gets it within a small part of its
// period, whatever other Python threads do. Every call holds the GIL.
#pragma once

#include <chrono>

namespace drovik::timer {

// A running precision timer of this period asks for a short interval.
void hold_switch_interval(std::chrono::nanoseconds period);
// That timer has stopped: with none left, the value found before goes back,
// unless the program set one of its own meanwhile, which then stays.
void drop_switch_interval(std::chrono::nanoseconds period);

}  // namespace drovik::timer
