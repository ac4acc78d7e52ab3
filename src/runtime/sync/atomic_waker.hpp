// The consumer's waker slot of a channel, registered and woken without a lock.
// States Waiting, Registering, Waking: a wake that races a registration is
// delivered by whichever side comes second, so it is never lost.
#pragma once

#include <atomic>

#include "runtime/sched/waker.hpp"

namespace drovik::rt::detail {

// One consumer's waker, registered and woken without a lock. A wake that
// races with a registration is not lost: whoever comes second wakes.
class AtomicWaker {
public:
    void register_waker(const Waker& waker);
    void wake();

private:
    static constexpr unsigned kWaiting = 0;
    static constexpr unsigned kRegistering = 1;
    static constexpr unsigned kWaking = 2;

    std::atomic<unsigned> state_{kWaiting};
    Waker waker_;
};

}  // namespace drovik::rt::detail
