#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <string>

#include "core/timer/frequency.hpp"
#include "core/timer/precision_thread.hpp"
#include "core/timer/timer_handle.hpp"

namespace drovik::timer {
namespace {

using namespace std::chrono_literals;

struct FrequencyCase {
    double hz;
    bool realtime;
    const char* error;  // nullptr: accepted
    std::int64_t period_ns;
};

class PrecisionFrequencyTest : public ::testing::TestWithParam<FrequencyCase> {};

TEST_P(PrecisionFrequencyTest, AcceptsOrNamesTheFirstBrokenRule) {
    const auto& c = GetParam();
    auto period = precision_period_of(c.hz, c.realtime);
    if (c.error == nullptr) {
        ASSERT_TRUE(period.ok()) << period.error().text;
        EXPECT_EQ(period.value().count(), c.period_ns);
    } else {
        ASSERT_FALSE(period.ok());
        EXPECT_EQ(period.error().text, c.error);
    }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Timer, PrecisionFrequencyTest,
    ::testing::Values(FrequencyCase{1000.0, false, nullptr, 1'000'000},
                      FrequencyCase{3.0, false, nullptr, 333'333'333},
                      FrequencyCase{10000.0, false, nullptr, 100'000},
                      FrequencyCase{20000.0, true, nullptr, 50'000},
                      FrequencyCase{1.5e9, true, nullptr, 1},
                      FrequencyCase{0.0, true, "frequency_hz must be positive", 0},
                      FrequencyCase{-1.0, false, "frequency_hz must be positive", 0},
                      FrequencyCase{20000.0, false, "frequency > 10kHz requires realtime=True", 0},
                      FrequencyCase{kInf, false, "frequency > 10kHz requires realtime=True", 0},
                      FrequencyCase{kInf, true, "frequency_hz must be a finite number", 0},
                      FrequencyCase{kNaN, false, "frequency_hz must be a finite number", 0},
                      FrequencyCase{2.5e9, true, "frequency_hz is too high: its period rounds to zero nanoseconds", 0},
                      FrequencyCase{1e-12, true, "frequency_hz is too low: its period does not fit in nanoseconds", 0}));

TEST(Timer, NormalTimerHasNoUpperBoundBelowAZeroPeriod) {
    EXPECT_TRUE(period_of(1e6).ok());
    EXPECT_EQ(period_of(3e9).error().text, "frequency_hz is too high: its period rounds to zero nanoseconds");
    EXPECT_EQ(period_of(0.0).error().text, "frequency_hz must be positive");
}

struct CatchUpCase {
    const char* name;
    std::int64_t next_ns;
    std::int64_t now_ns;
    std::int64_t expected_ns;
};

class CatchUpTest : public ::testing::TestWithParam<CatchUpCase> {};

TEST_P(CatchUpTest, MovesToTheFirstGridPointAfterNow) {
    const auto& c = GetParam();
    const Clock::time_point origin{};
    auto next = catch_up(origin + std::chrono::nanoseconds(c.next_ns), 1000ns, origin + std::chrono::nanoseconds(c.now_ns));
    EXPECT_EQ((next - origin).count(), c.expected_ns);
}

INSTANTIATE_TEST_SUITE_P(Timer, CatchUpTest,
                         ::testing::Values(CatchUpCase{"not_late", 5000, 4000, 5000},
                                           CatchUpCase{"exactly_due", 5000, 5000, 5000},
                                           CatchUpCase{"one_ns_late", 5000, 5001, 6000},
                                           CatchUpCase{"on_a_later_grid_point", 5000, 7000, 8000},
                                           CatchUpCase{"two_and_a_half_periods", 5000, 7500, 8000}),
                         [](const auto& info) { return info.param.name; });

TEST(Timer, SleepUntilReturnsNotBeforeTheDeadline) {
    for (auto threshold : {0ns, std::chrono::nanoseconds(800us), std::chrono::nanoseconds(3ms)}) {
        auto deadline = Clock::now() + 2ms;
        precision_sleep_until_sync(deadline, threshold);
        EXPECT_GE(Clock::now(), deadline);
    }
}

TEST(Timer, ThreadNamesFitTheKernelLimit) {
    EXPECT_EQ(timer_thread_name(5, TimerPrecision::High), "timer-5-High");
    EXPECT_EQ(timer_thread_name(7, TimerPrecision::Realtime), "timer-7-Realtim");
    EXPECT_EQ(timer_thread_name(123456, TimerPrecision::High), "timer-123456-Hi");
}

TEST(Timer, HandleStatisticsAndDescription) {
    TimerRecords records;
    auto tick_count = records.tick_count;
    TimerHandle handle(Clock::now() - 2s, std::move(records), 3, 100.0, TimerPrecision::High);
    EXPECT_EQ(handle.actual_frequency(), 0.0);
    tick_count->store(200);
    EXPECT_GE(handle.elapsed_secs(), 2.0);
    EXPECT_LE(handle.actual_frequency(), 100.0);
    EXPECT_GT(handle.actual_frequency(), 90.0);
    EXPECT_TRUE(std::regex_match(handle.describe(), std::regex(R"(TimerHandle\(id=3, freq=100\.0Hz, actual=(9\d|100)\.\dHz, mode=high, ticks=200, running=true\))")))
        << handle.describe();
    handle.stop();
    EXPECT_FALSE(handle.is_running());
    EXPECT_NE(handle.describe().find("mode=high, ticks=200, running=false)"), std::string::npos);
}

TEST(Timer, ReleasedHandleStopsItsTimerAndLeavesTheRegistry) {
    TimerRecords records;
    auto running = records.running;
    const manager::TaskId id = manager::next_task_id();
    manager::task_manager().register_task(id, running, records.task_handle, manager::TaskKind::Timer);
    const auto total = manager::task_manager().total_count();
    {
        TimerHandle handle(Clock::now(), std::move(records), id, 10.0, TimerPrecision::Normal);
        TimerHandle moved(std::move(handle));  // the moved-from one releases nothing
        EXPECT_TRUE(running->load());
        EXPECT_EQ(manager::task_manager().total_count(), total);
    }
    EXPECT_FALSE(running->load());
    EXPECT_EQ(manager::task_manager().total_count(), total - 1);
}

}  // namespace
}  // namespace drovik::timer
