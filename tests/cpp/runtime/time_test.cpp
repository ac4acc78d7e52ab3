#include <chrono>
#include <thread>
#include <vector>

#include "runtime/time/deadline.hpp"
#include "runtime/time/interval.hpp"
#include "runtime/time/sleep.hpp"
#include "runtime/time/timeout.hpp"
#include "test_support.hpp"

namespace drovik::rt {
namespace {

using namespace std::chrono_literals;
using testing::make_runtime;

struct SleepSpan {
    Clock::time_point start;
    Clock::time_point end;
    Clock::duration requested;

    bool early() const { return end < round_up_to_tick(start + requested); }
};

Task<SleepSpan> timed_sleep(Clock::duration d) {
    auto start = Clock::now();
    co_await sleep_for(d);
    co_return SleepSpan{start, Clock::now(), d};
}

class SleepNeverEarly : public ::testing::TestWithParam<Clock::duration> {};

// The wake-up is never before the requested deadline rounded up to a whole millisecond.
TEST_P(SleepNeverEarly, EndsAtOrAfterTheRoundedDeadline) {
    auto rt = make_runtime(2);
    for (int i = 0; i < 20; ++i) {
        auto span = rt->block_on(timed_sleep(GetParam()));
        ASSERT_TRUE(span.ok());
        EXPECT_FALSE(span.value().early());
    }
}

INSTANTIATE_TEST_SUITE_P(Durations, SleepNeverEarly,
                         ::testing::Values(Clock::duration(0), Clock::duration(1200us), Clock::duration(3ms),
                                           Clock::duration(10ms)));

TEST(Sleep, ConcurrentSleepsOnWorkersAreNeverEarly) {
    auto rt = make_runtime(2);
    auto outcome = rt->block_on([](Runtime* rt) -> Task<int> {
        std::vector<JoinHandle<SleepSpan>> handles;
        for (int i = 0; i < 200; ++i) handles.push_back(rt->spawn(timed_sleep(Clock::duration(1ms * (i % 7)))));
        int early = 0;
        for (auto& h : handles) {
            auto span = co_await h;
            if (!span.ok()) co_return -1;
            early += span.value().early();
        }
        co_return early;
    }(rt.get()));
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.value(), 0);
}

Task<int> never() {
    co_await sleep_for(std::chrono::hours(1));
    co_return 1;
}
Task<int> at_once() { co_return 7; }

TEST(Timeout, ReadyOperationWinsAndPendingOneTimesOut) {
    auto rt = make_runtime(1);
    auto ready = rt->block_on([]() -> Task<std::optional<int>> { co_return co_await with_timeout(0ms, at_once()); }());
    ASSERT_TRUE(ready.ok());
    EXPECT_EQ(ready.value(), std::optional<int>(7));

    auto late = rt->block_on([]() -> Task<std::optional<int>> { co_return co_await with_timeout(2ms, never()); }());
    ASSERT_TRUE(late.ok());
    EXPECT_EQ(late.value(), std::nullopt);
}

struct LimitCase {
    const char* name;
    std::optional<std::uint64_t> ms;
    bool never;
};

class DeadlineFromMillis : public ::testing::TestWithParam<LimitCase> {};

// A limit the clock cannot reach is no limit; it never wraps into one that passed already.
TEST_P(DeadlineFromMillis, IsNeverExactlyWhenTheClockCannotReachIt) {
    const auto before = Clock::now();
    Deadline deadline = Deadline::after_ms(GetParam().ms);
    EXPECT_EQ(deadline.is_never(), GetParam().never);
    EXPECT_EQ(deadline.passed(before + std::chrono::hours(24 * 365)), false);
    if (!GetParam().never) {
        EXPECT_GE(deadline.instant(), before + std::chrono::milliseconds(*GetParam().ms));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, DeadlineFromMillis,
    ::testing::Values(LimitCase{"none", std::nullopt, true}, LimitCase{"two_years", 63'072'000'000, false},
                      LimitCase{"int64_max", 9'223'372'036'854'775'807u, true},
                      LimitCase{"uint64_max", 18'446'744'073'709'551'615u, true},
                      LimitCase{"past_the_clock", 9'223'372'036'854u, true}),
    [](const auto& info) { return info.param.name; });

TEST(Timeout, WithoutDeadlineWaitsForTheOperationAlone) {
    auto rt = make_runtime(1);
    auto got = rt->block_on([]() -> Task<std::optional<int>> {
        co_return co_await with_deadline(Deadline::after_ms(std::nullopt), []() -> Task<int> {
            co_await sleep_for(3ms);
            co_return 5;
        }());
    }());
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got.value(), std::optional<int>(5));
}

struct StalledTicks {
    std::vector<Clock::time_point> due;
    Clock::duration first_took;   // from making the ticker to its first tick's return
    Clock::time_point stall_end;  // the overrunning callback returns
    Clock::time_point late_back;  // the late tick has returned
};

Task<StalledTicks> ticks_with_a_stall(Clock::duration period, Clock::duration stall) {
    StalledTicks out;
    const auto made = Clock::now();
    Interval interval(period);
    out.due.push_back(co_await interval.tick());
    out.first_took = Clock::now() - made;
    std::this_thread::sleep_for(stall);  // a callback that overruns
    out.stall_end = Clock::now();
    out.due.push_back(co_await interval.tick());
    out.late_back = Clock::now();
    out.due.push_back(co_await interval.tick());
    co_return out;
}

// Checks only what holds however late the machine wakes the ticker: a loaded
// host may wake any sleep many milliseconds late, which makes that tick late too.
TEST(Interval, MissedTicksAreSkippedOntoTheGrid) {
    auto rt = make_runtime(1);
    const auto period = Clock::duration(10ms);
    auto outcome = rt->block_on(ticks_with_a_stall(period, 35ms));
    ASSERT_TRUE(outcome.ok());
    const auto& t = outcome.value();
    for (auto due : t.due) EXPECT_EQ((due - t.due[0]) % period, Clock::duration(0));
    if (t.first_took <= 5ms) EXPECT_EQ(t.due[1] - t.due[0], period);
    EXPECT_LT(t.due[1], t.stall_end);  // late, but fires with its own due instant
    // the next is the first grid instant after the late tick fired: nothing made up, nothing more dropped
    EXPECT_GT(t.due[2], t.stall_end);
    EXPECT_LE(t.due[2] - period, t.late_back);
}

}  // namespace
}  // namespace drovik::rt
