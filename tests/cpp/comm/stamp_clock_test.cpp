#include "comm/socketcan/stamp_clock.hpp"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>

namespace drovik::socketcan {
namespace {

constexpr std::int64_t kMs = 1'000'000;

std::int64_t ns_of(clockid_t clock) {
    timespec now;
    ::clock_gettime(clock, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// How far `monotonic` lies from what the stamp `age_ns` old would be on the monotonic clock now.
std::int64_t error_ns(std::int64_t monotonic, std::int64_t age_ns) {
    return monotonic - (ns_of(CLOCK_MONOTONIC) - age_ns);
}

TEST(StampClock, StampsLandWhereTheyWereTakenWhicheverWayTheyMove) {
    StampClock clock;
    const std::int64_t now = ns_of(CLOCK_REALTIME);
    // Ages in the order given: fresh, an hour old (back past the kept offset),
    // fresh again (forward past it), then two within one refresh span.
    for (std::int64_t age : {std::int64_t{0}, 3'600'000 * kMs, std::int64_t{0}, 2 * kMs, 1 * kMs}) {
        SCOPED_TRACE(age);
        const std::int64_t elapsed = ns_of(CLOCK_REALTIME) - now;
        EXPECT_LT(std::abs(error_ns(clock.monotonic_ns_of(now + elapsed - age), age)), 5 * kMs);
    }
}

TEST(StampClock, NoneOrAFutureStampIsNow) {
    StampClock clock;
    const std::int64_t before = ns_of(CLOCK_MONOTONIC);
    EXPECT_GE(clock.monotonic_ns_of(0), before);
    const std::int64_t future = clock.monotonic_ns_of(ns_of(CLOCK_REALTIME) + 3'600'000 * kMs);
    EXPECT_LE(future, ns_of(CLOCK_MONOTONIC));
}

}  // namespace
}  // namespace drovik::socketcan
