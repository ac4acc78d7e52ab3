#include "core/timer/lead_estimator.hpp"

#include <algorithm>

namespace drovik::timer {

namespace {
// A late delay doubles into the lead, which then fades by a thirty-second per
// wait (half in about 22 waits) unless the quantile holds it up.
constexpr std::int64_t kFade = 32;
}  // namespace

LeadEstimator::LeadEstimator(Duration ceiling, Duration first, Duration safety) noexcept
    : ceiling_(ceiling), first_(std::min(first, ceiling)), safety_(safety), lead_(first_) {}

void LeadEstimator::learn(Duration delay) noexcept {
    // Beyond the ceiling no lead would have helped: a thread preempted for a
    // scheduler tick. Leading further for it would only spin longer, and a
    // thread that spins more than its share is preempted the more.
    if (delay > ceiling_) return;
    skipped_ = 0;
    const std::int64_t ns = std::max<std::int64_t>(0, delay.count());
    window_[seen_ % kWindow] = ns;
    ++seen_;
    if (delay > lead_) {
        widened_ = std::min(ceiling_, Duration(2 * ns) + safety_);
    } else {
        widened_ -= widened_ / kFade;
    }
    settle();
}

void LeadEstimator::skipped() noexcept {
    if (++skipped_ >= kWindow) {
        seen_ = skipped_ = 0;
        widened_ = Duration(0);
        lead_ = first_;
        return;
    }
    passed_over();
}

void LeadEstimator::passed_over() noexcept {
    widened_ -= widened_ / kFade;
    if (seen_ >= kWarmup) settle();
}

LeadEstimator::Duration LeadEstimator::quick() const noexcept {
    return seen_ == 0 ? Duration(0) : Duration(quantile(kQuickQuantile));
}

std::int64_t LeadEstimator::quantile(double q) const noexcept {
    const auto filled = static_cast<std::ptrdiff_t>(std::min(seen_, kWindow));
    auto sorted = window_;  // only its filled part is ordered and read
    const auto at = sorted.begin() + static_cast<std::ptrdiff_t>(q * static_cast<double>(filled - 1));
    std::nth_element(sorted.begin(), at, sorted.begin() + filled);
    return *at;
}

void LeadEstimator::settle() noexcept {
    if (seen_ < kWarmup) {
        lead_ = std::max(lead_, widened_);
        return;
    }
    const auto high = quantile(kQuantile);
    // An eighth more than the quantile: the next delays are not all like the last ones.
    const Duration covered(high + high / 8);
    lead_ = std::min(ceiling_, std::max(covered + safety_, widened_));
}

}  // namespace drovik::timer
