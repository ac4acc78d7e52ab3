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

// First thing a precision timer thread does: pins and raises itself as settled;
// the first one raised also raises the runtime's workers one step below it. A
// refusal writes one line per process and leaves ordinary scheduling.
void enter_precision_thread(Clock::duration period) noexcept;

// Start of every wait of a timer thread that runs raised: it sleeps at least
// half a period, however late it is, so it never holds a CPU for good; then
// until spin_threshold before the deadline, as usual.
void rest_before(Clock::time_point deadline, Clock::duration spin_threshold) noexcept;

}  // namespace drovik::timer
