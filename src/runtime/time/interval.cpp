#include "runtime/time/interval.hpp"

namespace drovik::rt {

namespace {
constexpr auto kLateness = std::chrono::milliseconds(5);
}  // namespace

Interval::Interval(Clock::duration period) : period_(period), next_due_(Clock::now()) {}

IntervalTick Interval::tick() { return IntervalTick(*this); }

Clock::time_point Interval::fire() {
    Clock::time_point due = next_due_;
    first_ = false;
    auto now = Clock::now();
    if (now <= due + kLateness || period_ <= Clock::duration::zero()) {
        next_due_ = due + period_;
    } else {
        next_due_ = now + period_ - (now - due) % period_;
    }
    return due;
}

bool IntervalTick::poll(Context& cx) {
    if (interval_.first_) return true;
    if (!sleep_) sleep_.emplace(Deadline::at(interval_.next_due_));
    return sleep_->poll(cx);
}

}  // namespace drovik::rt
