// Bounding a wait: any pollable raced against a Sleep. The operation is polled
// first, so an outcome already there wins over a passed deadline; at a time-out
// the operation is dropped with the Timeout and withdraws its registration.
#pragma once

#include <optional>
#include <utility>

#include "runtime/sched/context.hpp"
#include "runtime/time/sleep.hpp"

namespace drovik::rt {

// Runs an operation until a deadline. The operation is looked at first, so one
// that is ready wins even when the deadline has passed. Empty on time-out.
template <Pollable P>
class Timeout {
public:
    Timeout(P operation, Sleep deadline) : operation_(std::move(operation)), deadline_(std::move(deadline)) {}

    bool poll(Context& cx) {
        if (operation_.poll(cx)) return true;
        timed_out_ = deadline_.poll(cx);
        return timed_out_;
    }

    std::optional<unit_if_void<output_of<P>>> take() {
        if (timed_out_) return std::nullopt;
        return take_value(operation_);
    }

private:
    P operation_;
    Sleep deadline_;
    bool timed_out_ = false;
};

template <class P>
Timeout<std::decay_t<P>> with_timeout(Clock::duration limit, P&& operation) {
    return Timeout<std::decay_t<P>>(std::forward<P>(operation), sleep_for(limit));
}

template <class P>
Timeout<std::decay_t<P>> with_deadline(Deadline deadline, P&& operation) {
    return Timeout<std::decay_t<P>>(std::forward<P>(operation), sleep_until(deadline));
}

}  // namespace drovik::rt
