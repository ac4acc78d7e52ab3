#include "runtime/time/deadline.hpp"

namespace drovik::rt {

namespace {

// The last whole millisecond the clock can show: the timer driver rounds every
// deadline up to one, so anything later could not be rounded.
constexpr auto kLastTick = std::chrono::floor<std::chrono::milliseconds>(Clock::duration::max());

}  // namespace

Deadline Deadline::at(Clock::time_point instant) noexcept {
    return instant.time_since_epoch() >= kLastTick ? never() : Deadline(instant);
}

Deadline Deadline::after(Clock::duration limit) noexcept { return after(limit, Clock::now()); }

Deadline Deadline::after(Clock::duration limit, Clock::time_point now) noexcept {
    if (limit >= Clock::time_point::max() - now) return never();
    return at(now + limit);
}

Deadline Deadline::after_ms(std::optional<std::uint64_t> limit_ms) noexcept {
    return limit_ms ? after_ms(limit_ms, Clock::now()) : never();
}

Deadline Deadline::after_ms(std::optional<std::uint64_t> limit_ms, Clock::time_point now) noexcept {
    if (!limit_ms) return never();
    if (*limit_ms >= static_cast<std::uint64_t>(kLastTick.count())) return never();
    return after(std::chrono::milliseconds(static_cast<std::int64_t>(*limit_ms)), now);
}

}  // namespace drovik::rt
