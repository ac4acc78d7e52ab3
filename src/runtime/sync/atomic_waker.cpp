#include "runtime/sync/atomic_waker.hpp"

#include <utility>

namespace drovik::rt::detail {

void AtomicWaker::register_waker(const Waker& waker) {
    unsigned expected = kWaiting;
    if (state_.compare_exchange_strong(expected, kRegistering, std::memory_order_acquire)) {
        store_waker(waker_, waker);
        expected = kRegistering;
        if (!state_.compare_exchange_strong(expected, kWaiting, std::memory_order_acq_rel)) {
            // A wake came in while we stored: deliver it ourselves.
            Waker taken = std::move(waker_);
            state_.exchange(kWaiting, std::memory_order_acq_rel);
            taken.wake();
        }
    } else if (expected == kWaking) {
        waker.wake();
    }
}

void AtomicWaker::wake() {
    if (state_.fetch_or(kWaking, std::memory_order_acq_rel) == kWaiting) {
        Waker taken = std::move(waker_);
        state_.fetch_and(~kWaking, std::memory_order_release);
        taken.wake();
    }
}

}  // namespace drovik::rt::detail
