// Beside busy Python threads, a thread that asks for the interpreter lock gets
// it only after a switch interval and the hand-over: a timer thread asks that
// much ahead of its deadline, learned from its own attachments, and holds the
// lock, spinning, for whatever is left until the deadline.
#pragma once

#include "core/timer/lead_estimator.hpp"
#include "core/timer/tick_call.hpp"

namespace drovik::timer {

class GilLead {
public:
    explicit GilLead(Clock::duration period) noexcept;

    // When to ask for the lock, for a call due at the deadline.
    Clock::time_point ask_at(Clock::time_point deadline) const noexcept { return deadline - estimator_.lead(); }
    // The lock was asked for at `asked` and taken as `times` says.
    void learn(Clock::time_point asked, const CallTimes& times) noexcept { estimator_.learn(times.attached - asked); }

private:
    LeadEstimator estimator_;
};

}  // namespace drovik::timer
