// Which frequencies a timer accepts, and the period it runs at.
#pragma once

#include <chrono>

#include "runtime/result.hpp"

namespace drovik::timer {

// 1 / frequency seconds, rounded to the nearest nanosecond. Refuses frequencies
// that are not positive, not finite, or whose period is zero or too long to count
// in nanoseconds; the error text is the ValueError message.
rt::Result<std::chrono::nanoseconds> period_of(double frequency_hz);

// As period_of, and above 10 kHz only in realtime mode.
rt::Result<std::chrono::nanoseconds> precision_period_of(double frequency_hz, bool realtime);

}  // namespace drovik::timer
