#include "core/timer/tick_timing.hpp"

namespace drovik::timer {

void TickTiming::record_call(Clock::time_point deadline, const CallTimes& times) noexcept {
    lateness_.record(times.started - deadline);
    duration_.record(times.ended - times.started);
}

void TickTiming::record_missed(std::uint64_t deadlines) noexcept {
    if (deadlines == 0) return;
    missed_.store(missed_.load(std::memory_order_relaxed) + deadlines, std::memory_order_relaxed);
}

TimingSummary TickTiming::summary() const noexcept {
    return TimingSummary{
        .late_p50 = lateness_.quantile(0.50),
        .late_p99 = lateness_.quantile(0.99),
        .late_max = lateness_.max(),
        .missed = missed_.load(std::memory_order_relaxed),
        .call_p99 = duration_.quantile(0.99),
    };
}

}  // namespace drovik::timer
