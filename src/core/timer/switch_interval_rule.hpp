// The interpreter's switch interval a precision timer of a given period asks
// for, in the core so the timer thread knows it too.
#pragma once

#include <algorithm>
#include <chrono>

namespace drovik::timer {

// A waiting thread asks for the GIL after one interval; the holder lets go at
// its next check. A twentieth of the period keeps that wait well inside it;
// below 20 us, threads that only compete with each other would mostly switch.
constexpr std::chrono::microseconds switch_interval_for(std::chrono::nanoseconds period) noexcept {
    return std::max(std::chrono::microseconds(20), std::chrono::duration_cast<std::chrono::microseconds>(period) / 20);
}

}  // namespace drovik::timer
