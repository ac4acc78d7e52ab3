// Kernel receive times (CLOCK_REALTIME, as SO_TIMESTAMPNS gives them) on
// CLOCK_MONOTONIC. Reading both clocks for every frame costs three system calls
// where the clocks have no vDSO (user-mode Linux: about 30 us each), so the
// offset between them is kept and read again once the stamps moved on by
// kRefresh or went back. A step of the realtime clock is thus seen by the next
// frame when it is larger than kRefresh (every daemon steps only past 128 ms),
// within kRefresh otherwise; slewing moves the offset by a few microseconds in
// that span.
#pragma once

#include <chrono>
#include <cstdint>

namespace drovik::socketcan {

class StampClock {
public:
    static constexpr std::chrono::nanoseconds kRefresh = std::chrono::milliseconds(10);

    // The monotonic time of a kernel receive time; 0 (none) means now. A stamp
    // from the future counts as now.
    std::int64_t monotonic_ns_of(std::int64_t received_ns) noexcept;

private:
    static constexpr int kTries = 3;

    // Reads the offset anew; returns the monotonic time it was read at.
    std::int64_t read_offset() noexcept;

    std::int64_t offset_ns_ = 0;     // monotonic minus realtime, as last read
    std::int64_t read_for_ns_ = 0;   // the stamp it was read for; 0 before the first
    std::int64_t narrowest_ns_ = 0;  // the narrowest bracket of clock reads seen; 0 before the first
};

}  // namespace drovik::socketcan
