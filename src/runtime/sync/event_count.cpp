#include "runtime/sync/event_count.hpp"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace drovik::rt {

namespace {

std::uint32_t* word(const std::atomic<std::uint32_t>& epoch) noexcept {
    return reinterpret_cast<std::uint32_t*>(const_cast<std::atomic<std::uint32_t>*>(&epoch));
}

}  // namespace

void EventCount::notify_all() noexcept {
    // Both sides use sequentially consistent steps: either the waiter sees the
    // new epoch, or this sees the waiter and wakes it.
    epoch_.fetch_add(1);
    if (waiters_.load() != 0) syscall(SYS_futex, word(epoch_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

EventCount::Woken EventCount::wait(std::uint32_t seen, Deadline deadline) const noexcept {
    if (deadline.passed()) return Woken::TimedOut;
    timespec until{};
    if (!deadline.is_never()) {
        auto since_epoch = deadline.instant().time_since_epoch();
        auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
        until.tv_sec = static_cast<time_t>(secs.count());
        until.tv_nsec = static_cast<long>(std::chrono::nanoseconds(since_epoch - secs).count());
    }
    waiters_.fetch_add(1);
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, the clock of Deadline.
    long rc = syscall(SYS_futex, word(epoch_), FUTEX_WAIT_BITSET_PRIVATE, seen, deadline.is_never() ? nullptr : &until,
                      nullptr, FUTEX_BITSET_MATCH_ANY);
    int error = rc == 0 ? 0 : errno;
    waiters_.fetch_sub(1);
    if (error == ETIMEDOUT) return Woken::TimedOut;
    if (error == EINTR) return Woken::Interrupted;
    return Woken::Changed;  // woken, or the epoch had moved already (EAGAIN)
}

}  // namespace drovik::rt
