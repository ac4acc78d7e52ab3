#include "core/timer/gil_lead.hpp"

#include <algorithm>

namespace drovik::timer {

namespace {
using namespace std::chrono_literals;
// The lock is held while it spins: never for more than a quarter of a period.
constexpr auto kMostOfPeriod = 4;
constexpr auto kCeiling = std::chrono::nanoseconds(2ms);
constexpr auto kSafety = std::chrono::nanoseconds(5us);
}  // namespace

GilLead::GilLead(Clock::duration period) noexcept
    : estimator_(std::min(kCeiling, std::chrono::duration_cast<std::chrono::nanoseconds>(period) / kMostOfPeriod),
                 std::chrono::nanoseconds(0), kSafety) {}

}  // namespace drovik::timer
