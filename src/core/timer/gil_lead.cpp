#include "core/timer/gil_lead.hpp"

#include <algorithm>

#include "core/timer/switch_interval_rule.hpp"

namespace drovik::timer {

namespace {
using namespace std::chrono_literals;
constexpr auto kSafety = std::chrono::nanoseconds(5us);
}  // namespace

GilLead::GilLead(Clock::duration period) noexcept
    : estimator_(std::chrono::duration_cast<std::chrono::nanoseconds>(period) / 4, std::chrono::nanoseconds(0),
                 kSafety),
      interval_(switch_interval_for(std::chrono::duration_cast<std::chrono::nanoseconds>(period))) {}

Clock::time_point GilLead::ask_at(Clock::time_point deadline) const noexcept {
    // A quick hand-over plus what may be held: the spin after it stays short of
    // an interval, leaving the call a few microseconds of its own.
    const auto held = std::max(std::chrono::nanoseconds(0), interval_ - 2 * kSafety);
    return deadline - std::min(estimator_.lead(), estimator_.quick() + held);
}

}  // namespace drovik::timer
