// The opt-in for real-time scheduling of precision timers, as the environment
// states it: DROVIK_RT_PRIORITY, DROVIK_RT_CPUS, DROVIK_RT_MLOCK, and how precision
// timers spin before a deadline: DROVIK_TIMER_SPIN.
#pragma once

#include <sched.h>

#include <functional>
#include <optional>
#include <string>

#include "runtime/result.hpp"

namespace drovik::timer {

struct RealtimeSettings {
    int priority = 0;  // SCHED_FIFO priority of timer threads; 0: ordinary scheduling
    std::optional<cpu_set_t> cpus;  // where timer threads may run; none: anywhere
    std::string cpus_text;          // the list as written, for messages
    bool lock_memory = false;
    bool fixed_spin = false;  // DROVIK_TIMER_SPIN=fixed: the whole threshold, as a baseline to measure against

    bool any() const noexcept { return priority != 0 || cpus || lock_memory; }
};

// The value of a variable, or null when it is unset.
using Lookup = std::function<const char*(const char*)>;

// An unset or empty variable asks for nothing. The error text names the
// variable and its value: it becomes a ValueError.
rt::Result<RealtimeSettings> parse_realtime_settings(const Lookup& lookup);

}  // namespace drovik::timer
