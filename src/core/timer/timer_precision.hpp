// The three timer modes and their names. Normal timers tick on the runtime to the
// millisecond; High and Realtime ones get a thread of their own that sleeps, then
// spins up to each deadline, Realtime for longer.
#pragma once

#include <cstdint>
#include <string_view>

namespace drovik::timer {

enum class TimerPrecision : std::uint8_t { Normal = 0, High = 1, Realtime = 2 };

// As Python shows it: "normal", "high", "realtime".
constexpr std::string_view python_name(TimerPrecision p) noexcept {
    switch (p) {
        case TimerPrecision::High: return "high";
        case TimerPrecision::Realtime: return "realtime";
        case TimerPrecision::Normal: break;
    }
    return "normal";
}

// As thread names show it: "Normal", "High", "Realtime".
constexpr std::string_view debug_name(TimerPrecision p) noexcept {
    switch (p) {
        case TimerPrecision::High: return "High";
        case TimerPrecision::Realtime: return "Realtime";
        case TimerPrecision::Normal: break;
    }
    return "Normal";
}

}  // namespace drovik::timer
