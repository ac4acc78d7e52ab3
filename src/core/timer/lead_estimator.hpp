// How long before an instant a thread must begin a wait whose delay varies (a
// sleep's wake-up, the hand-over of the interpreter lock), learned from the
// delays it saw: a high quantile of the recent ones plus a safety margin,
// widened at once after a delay that went past it, never above a ceiling.
// Delays beyond the ceiling are left out: no lead within it would have helped.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace drovik::timer {

class LeadEstimator {
public:
    using Duration = std::chrono::nanoseconds;

    // `first` is the lead until enough delays were seen; `safety` is added to
    // the quantile; nothing ever exceeds `ceiling`.
    LeadEstimator(Duration ceiling, Duration first, Duration safety) noexcept;

    Duration lead() const noexcept { return lead_; }
    // How quick the quick delays are: a low quantile of the recent ones, so that
    // a rare quick one (a lock that happened to be free) does not stand for
    // them all; zero before the first. Worked out when asked: not every user
    // asks, and the window changes once per wait.
    Duration quick() const noexcept;
    // One wait's delay: from the instant it began to the instant it ended.
    void learn(Duration delay) noexcept;
    // A wait that the lead left no room for, so nothing to learn from: a widening
    // fades as after a delay within the lead, and after a whole window of these
    // the estimator starts over from its first lead, which leaves room to learn.
    void skipped() noexcept;
    // A wait whose delay tells nothing of the next ones (other threads had the
    // CPU): a widening fades as after a delay within the lead.
    void passed_over() noexcept;

    static constexpr std::size_t kWindow = 256;
    static constexpr std::size_t kWarmup = 32;
    static constexpr double kQuantile = 0.99;
    static constexpr double kQuickQuantile = 0.05;

private:
    void settle() noexcept;
    std::int64_t quantile(double q) const noexcept;

    std::array<std::int64_t, kWindow> window_{};
    std::size_t seen_ = 0;
    std::size_t skipped_ = 0;  // waits in a row without a delay
    Duration ceiling_;
    Duration first_;
    Duration safety_;
    Duration widened_{0};  // what the last late delay asked for, fading
    Duration lead_;
};

}  // namespace drovik::timer
