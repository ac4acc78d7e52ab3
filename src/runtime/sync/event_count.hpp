// Lets ordinary threads sleep until some condition may have changed, without
// polling it. A waiter reads the epoch, tests its condition, and if that fails
// waits on the epoch it read: a notify between its test and its sleep moves the
// epoch, so the sleep ends at once and nothing is missed. Notifiers never block
// and make no system call while nobody waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/time/deadline.hpp"

namespace drovik::rt {

class EventCount {
public:
    enum class Woken {
        Changed,      // the epoch moved (or a spurious wake-up): test the condition again
        TimedOut,     // the deadline passed
        Interrupted,  // a signal handler ran on this thread
    };

    std::uint32_t epoch() const noexcept { return epoch_.load(); }
    void notify_all() noexcept;
    // Sleeps while the epoch is still `seen`, until the deadline. Returns
    // Interrupted whenever a signal handler interrupts the sleep, as the
    // interpreter's own sleeps do, so that a caller on the main thread can run
    // the interpreter's handlers.
    Woken wait(std::uint32_t seen, Deadline deadline) const noexcept;

private:
    std::atomic<std::uint32_t> epoch_{0};  // the futex word
    mutable std::atomic<std::uint32_t> waiters_{0};
};

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

}  // namespace drovik::rt
