#include "core/timer/frequency.hpp"

#include <cmath>
#include <cstdint>

namespace drovik::timer {

namespace {

constexpr double kHighPrecisionLimitHz = 10000.0;

rt::Error invalid(const char* text) { return rt::Error{rt::ErrorKind::InvalidInput, text}; }

// What no mode accepts besides a non-positive value: checked after the mode's own bounds.
rt::Result<std::chrono::nanoseconds> checked_period(double frequency_hz) {
    if (!std::isfinite(frequency_hz)) return invalid("frequency_hz must be a finite number");
    double nanos = std::round((1.0 / frequency_hz) * 1e9);
    if (nanos < 1.0) return invalid("frequency_hz is too high: its period rounds to zero nanoseconds");
    // 2^63 is the first double past the largest count; comparing against it is exact.
    if (nanos >= 9223372036854775808.0) return invalid("frequency_hz is too low: its period does not fit in nanoseconds");
    return std::chrono::nanoseconds(static_cast<std::int64_t>(nanos));
}

}  // namespace

rt::Result<std::chrono::nanoseconds> period_of(double frequency_hz) {
    if (frequency_hz <= 0.0) return invalid("frequency_hz must be positive");
    return checked_period(frequency_hz);
}

rt::Result<std::chrono::nanoseconds> precision_period_of(double frequency_hz, bool realtime) {
    if (frequency_hz <= 0.0) return invalid("frequency_hz must be positive");
    if (!realtime && frequency_hz > kHighPrecisionLimitHz) return invalid("frequency > 10kHz requires realtime=True");
    return checked_period(frequency_hz);
}

}  // namespace drovik::timer
