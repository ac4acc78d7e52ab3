// Real-time scheduling of precision timer threads, as the process settled it
// when its first precision timer started.
#pragma once

#include "core/timer/realtime_settings.hpp"
#include "core/timer/timer_handle.hpp"

namespace drovik::timer {

// Keeps the settings for the rest of the process; only the first call counts.
// Locks the process's memory when asked.
void settle_realtime(const RealtimeSettings& settings);
bool realtime_settled() noexcept;
// Whether precision timers spin their whole threshold, as settled.
bool fixed_spin() noexcept;

// First thing a precision timer thread does: pins and raises itself as settled;
// the first one raised also raises the runtime's workers one step below it. A
// refusal writes one line per process and leaves ordinary scheduling.
void enter_precision_thread(Clock::duration period) noexcept;

// The least a timer thread sleeps per wait: half a period when it runs
// raised, however late it is, so it never holds a CPU for good; else zero.
Clock::duration least_rest() noexcept;

}  // namespace drovik::timer
