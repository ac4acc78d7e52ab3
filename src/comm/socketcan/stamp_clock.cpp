#include "comm/socketcan/stamp_clock.hpp"

#include <time.h>

#include <algorithm>
#include <cstdint>

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
        const std::int64_t monotonic_ns = read_offset();
        read_for_ns_ = received_ns;
        // Taken before the read, it cannot be from the future.
        return std::min(received_ns + offset_ns_, monotonic_ns);
    }
    return received_ns + offset_ns_;
}

std::int64_t StampClock::read_offset() noexcept {
    // The realtime read sits between two monotonic ones. The later one gives
    // the offset: it errs toward a later stamp by at most the bracket, so a
    // stamp never lands before the kernel took it (an age never reads too
    // old). A bracket wider than twice the narrowest seen means the thread was
    // off the CPU between the reads; that error would stay in every stamp until
    // the next refresh, so it is read again and the narrowest kept.
    std::int64_t best_width = INT64_MAX;
    std::int64_t last_ns = 0;
    for (int tries = 0; tries < kTries; ++tries) {
        const std::int64_t first_ns = ns_of(CLOCK_MONOTONIC);
        const std::int64_t realtime_ns = ns_of(CLOCK_REALTIME);
        last_ns = ns_of(CLOCK_MONOTONIC);
        const std::int64_t width = last_ns - first_ns;
        if (width < best_width) {
            best_width = width;
            offset_ns_ = last_ns - realtime_ns;
        }
        if (narrowest_ns_ == 0 || width < narrowest_ns_) narrowest_ns_ = std::max<std::int64_t>(width, 1);
        if (width <= 2 * narrowest_ns_) break;
    }
    return last_ns;
}

}  // namespace drovik::socketcan
