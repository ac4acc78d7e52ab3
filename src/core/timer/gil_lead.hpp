// Beside busy Python threads, a thread that asks for the interpreter lock gets
// it only after a switch interval and the hand-over: a timer thread asks that
// much ahead of its deadline, learned from its own attachments, and holds the
// lock, spinning, for whatever is left until the deadline. It holds the lock
// for less than one switch interval unless it got it quicker than nearly all
// its hand-overs: the thread that handed it over asks for it back one interval
// after, and a call that has not finished by then is made to let go as soon as
// it begins, behind its deadline. Those few ticks (a lock that happened to be
// free) pay that, rather than every tick asking too late.
#pragma once

#include "core/timer/lead_estimator.hpp"
#include "core/timer/tick_call.hpp"

namespace drovik::timer {

class GilLead {
public:
    explicit GilLead(Clock::duration period) noexcept;

    // When to ask for the lock, for a call due at the deadline.
    Clock::time_point ask_at(Clock::time_point deadline) const noexcept;
    // The lock was asked for at `asked` and taken as `times` says.
    void learn(Clock::time_point asked, const CallTimes& times) noexcept { estimator_.learn(times.attached - asked); }

private:
    LeadEstimator estimator_;
    std::chrono::nanoseconds interval_;
};

}  // namespace drovik::timer
