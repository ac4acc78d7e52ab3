// When a wait gives up: an instant of the monotonic clock, or never. Every
// time-out in the module becomes a Deadline at the moment its wait starts, so
// a limit too large for the clock means the same thing everywhere: no limit,
// since it could not pass within the life of the process anyway.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace drovik::rt {

// steady_clock is CLOCK_MONOTONIC on Linux: deadlines go to the kernel unconverted.
using Clock = std::chrono::steady_clock;

class Deadline {
public:
    static constexpr Deadline never() noexcept { return Deadline(Clock::time_point::max()); }
    // An instant at or beyond the clock's last millisecond is never.
    static Deadline at(Clock::time_point instant) noexcept;
    // `limit` after now; a negative limit has passed already.
    static Deadline after(Clock::duration limit) noexcept;
    static Deadline after(Clock::duration limit, Clock::time_point now) noexcept;
    // A time-out as the Python API takes it: none for no limit, else milliseconds;
    // after now, or after an instant the caller has just read from the clock.
    static Deadline after_ms(std::optional<std::uint64_t> limit_ms) noexcept;
    static Deadline after_ms(std::optional<std::uint64_t> limit_ms, Clock::time_point now) noexcept;

    bool is_never() const noexcept { return instant_ == Clock::time_point::max(); }
    bool passed(Clock::time_point now) const noexcept { return !is_never() && now >= instant_; }
    bool passed() const noexcept { return passed(Clock::now()); }
    // Clock::time_point::max() when never.
    Clock::time_point instant() const noexcept { return instant_; }

private:
    constexpr explicit Deadline(Clock::time_point instant) noexcept : instant_(instant) {}

    Clock::time_point instant_;
};

}  // namespace drovik::rt
