#include "comm/socketcan/stamp_clock.hpp"

#include <time.h>

#include <algorithm>

namespace drovik::socketcan {

namespace {

std::int64_t ns_of(clockid_t clock) noexcept {
    timespec now;
    ::clock_gettime(clock, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

std::int64_t StampClock::monotonic_ns_of(std::int64_t received_ns) noexcept {
    if (received_ns == 0) return ns_of(CLOCK_MONOTONIC);
    const std::int64_t since = received_ns - read_for_ns_;
    if (read_for_ns_ == 0 || since < 0 || since >= kRefresh.count()) {
        // Realtime first: the offset then errs by the time between the reads
        // toward a later stamp, never one before the kernel took it (the other
        // order put a stamp up to a clock read early, an age a read too old,
        // where reads are system calls).
        const std::int64_t realtime_ns = ns_of(CLOCK_REALTIME);
        const std::int64_t monotonic_ns = ns_of(CLOCK_MONOTONIC);
        offset_ns_ = monotonic_ns - realtime_ns;
        read_for_ns_ = received_ns;
        // Taken before the read, it cannot be from the future.
        return std::min(received_ns + offset_ns_, monotonic_ns);
    }
    return received_ns + offset_ns_;
}

}  // namespace drovik::socketcan
