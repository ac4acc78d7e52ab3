// The ticker behind normal timers: due instants on a fixed grid from the first
// tick, each waited for with a Sleep on the runtime's timer driver, so a timer
// keeps its rate without drift and never makes up missed ticks in a burst.
#pragma once

#include <chrono>
#include <optional>

#include "runtime/sched/context.hpp"
#include "runtime/time/sleep.hpp"

namespace drovik::rt {

class IntervalTick;

// A periodic ticker. The first tick is due at once, each next one a period
// after the previous due instant. A tick more than 5 ms late still fires at
// once, and the next one moves to the first grid instant after now: missed
// ticks are skipped, never caught up in a burst.
class Interval {
public:
    explicit Interval(Clock::duration period);

    // Completes with the due instant of the tick.
    IntervalTick tick();

private:
    friend class IntervalTick;
    Clock::time_point fire();

    Clock::duration period_;
    Clock::time_point next_due_;
    bool first_ = true;
};

class IntervalTick {
public:
    explicit IntervalTick(Interval& interval) : interval_(interval) {}

    bool poll(Context& cx);
    Clock::time_point take() { return interval_.fire(); }

private:
    Interval& interval_;
    std::optional<Sleep> sleep_;
};

}  // namespace drovik::rt
