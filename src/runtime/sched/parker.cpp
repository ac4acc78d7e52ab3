#include "runtime/sched/parker.hpp"

#include "runtime/io/reactor.hpp"

namespace drovik::rt {

void Parker::park() {
    int expected = kNotified;
    if (state_.compare_exchange_strong(expected, kEmpty, std::memory_order_acq_rel)) return;
    if (reactor_.try_acquire_driver()) {
        drive();
        return;
    }
    park_on_condvar();
}

void Parker::drive() {
    int expected = kEmpty;
    if (state_.compare_exchange_strong(expected, kParkedDriver, std::memory_order_acq_rel)) reactor_.turn();
    state_.exchange(kEmpty, std::memory_order_acq_rel);
    reactor_.release_driver(handover_ == Handover::Always);
}

void Parker::park_on_condvar() {
    reactor_.add_driver_candidate(this);
    // The driver may have left between our first try and our listing, finding no
    // candidate to hand the reactor to; then nobody would wait in it. Look again.
    if (reactor_.try_acquire_driver()) {
        reactor_.remove_driver_candidate(this);
        drive();
        return;
    }
    {
        std::unique_lock lock(mu_);
        int expected = kEmpty;
        if (state_.compare_exchange_strong(expected, kParkedCondvar, std::memory_order_acq_rel)) {
            for (;;) {
                cv_.wait(lock);
                expected = kNotified;
                if (state_.compare_exchange_strong(expected, kEmpty, std::memory_order_acq_rel)) break;
            }
        } else {
            state_.exchange(kEmpty, std::memory_order_acq_rel);
        }
    }
    reactor_.remove_driver_candidate(this);
}

void Parker::unpark() {
    switch (state_.exchange(kNotified, std::memory_order_acq_rel)) {
        case kParkedCondvar: {
            { std::lock_guard lock(mu_); }
            cv_.notify_one();
            break;
        }
        case kParkedDriver:
            reactor_.wake();
            break;
        default:
            break;
    }
}

}  // namespace drovik::rt
