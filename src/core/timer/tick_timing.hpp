// How a timer kept its deadlines over its whole life: each call's lateness
// behind its deadline, each call's duration and the deadlines it skipped. The
// timer's loop records, anyone reads while it runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "core/timer/histogram.hpp"
#include "core/timer/tick_call.hpp"

namespace drovik::timer {

struct TimingSummary {
    std::chrono::nanoseconds late_p50{};
    std::chrono::nanoseconds late_p99{};
    std::chrono::nanoseconds late_max{};
    std::uint64_t missed = 0;
    std::chrono::nanoseconds call_p99{};
};

class TickTiming {
public:
    // Called by the timer's loop only, one call after the other.
    void record_call(Clock::time_point deadline, const CallTimes& times) noexcept;
    void record_missed(std::uint64_t deadlines) noexcept;

    TimingSummary summary() const noexcept;

private:
    DurationHistogram lateness_;
    DurationHistogram duration_;
    std::atomic<std::uint64_t> missed_{0};
};

using SharedTickTiming = std::shared_ptr<TickTiming>;

}  // namespace drovik::timer
