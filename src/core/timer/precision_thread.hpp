// The dedicated thread of a high-precision or realtime timer: it sleeps until
// shortly before each deadline and spins the rest of the way.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "core/timer/run_delay.hpp"
#include "core/timer/tick_call.hpp"
#include "core/timer/timer_handle.hpp"
#include "runtime/result.hpp"

namespace drovik::timer {

// How long before a deadline sleeping gives way to spinning: with a fixed
// spin always, with a learned one at most.
std::chrono::nanoseconds spin_threshold(TimerPrecision precision) noexcept;

// What a sleep before a deadline found as it woke.
struct Woke {
    Clock::duration late;  // after the instant it asked for
    // Of that, how long it waited runnable for a CPU, where `run_delay` was given
    // and the kernel counts it.
    std::optional<Clock::duration> waiting_for_cpu;
};

// Sleeps until `spin_threshold` before the deadline, then busy-waits for it.
// When it slept: how it woke.
std::optional<Woke> precision_sleep_until_sync(Clock::time_point deadline, Clock::duration spin_threshold,
                                               const RunDelay* run_delay = nullptr) noexcept;

// Busy-waits for the deadline.
void spin_until(Clock::time_point deadline) noexcept;

// The first deadline of the grid next_deadline + k * period that lies after now;
// next_deadline itself when it is not yet past.
Clock::time_point catch_up(Clock::time_point next_deadline, Clock::duration period, Clock::time_point now) noexcept;

// "timer-{id}-{mode}", cut to the 15 bytes Linux allows a thread name.
std::string timer_thread_name(std::uint64_t task_id, TimerPrecision precision);

struct PrecisionLoop {
    manager::RunningFlag running;
    TickCount tick_count;
    SharedTickTiming timing;
    Clock::duration period;
    Clock::duration spin_threshold;
    bool fixed_spin;  // spin the whole threshold and ask for the GIL at the deadline
    SharedTickCall call;
};

// Starts the named thread running the loop; the error is "Failed to spawn timer thread: ...".
rt::Result<std::thread> spawn_precision_thread(std::string name, PrecisionLoop loop);

}  // namespace drovik::timer
