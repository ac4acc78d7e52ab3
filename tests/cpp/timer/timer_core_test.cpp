#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <string>
#include <thread>

#include "core/timer/frequency.hpp"
#include "core/timer/gil_lead.hpp"
#include "core/timer/histogram.hpp"
#include "core/timer/lead_estimator.hpp"
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
    // A wait long beside a preemption, so that a thread put off before its call still has one to sleep.
    const auto wait = std::chrono::nanoseconds(20ms);
    const RunDelay run_delay;
    const bool counted = run_delay.total().has_value();
    for (auto threshold : {0ns, std::chrono::nanoseconds(800us), std::chrono::nanoseconds(3ms), wait + 1ms}) {
        const auto began = Clock::now();
        auto deadline = began + wait;
        auto woke = precision_sleep_until_sync(deadline, threshold, &run_delay);
        const auto took = Clock::now() - began;
        EXPECT_GE(Clock::now(), deadline);
        // It slept unless the threshold covered the whole wait, and woke no earlier than asked.
        EXPECT_EQ(woke.has_value(), threshold < wait);
        if (!woke) continue;
        EXPECT_GE(woke->late, 0ns);
        // Its wait for a CPU is a part of the call, where the kernel counts it.
        EXPECT_EQ(woke->waiting_for_cpu.has_value(), counted);
        if (woke->waiting_for_cpu) {
            EXPECT_GE(*woke->waiting_for_cpu, 0ns);
            EXPECT_LE(*woke->waiting_for_cpu, took);
        }
    }
}

TEST(Timer, TheWaitForACpuIsTheSecondFieldOfSchedstat) {
    EXPECT_EQ(waited_in_schedstat("1843276 92011 17\n"), std::chrono::nanoseconds(92011));
    EXPECT_EQ(waited_in_schedstat("0 0 0\n"), 0ns);
    for (const char* text : {"", "1843276", "1843276\n", "x 92011 17\n", "1843276 \n"}) {
        EXPECT_EQ(waited_in_schedstat(text), std::nullopt) << text;
    }
}

TEST(Histogram, EveryValueFallsInABucketWhoseMiddleIsNearIt) {
    std::size_t last = 0;
    for (std::uint64_t v = 0; v < (1ULL << 42); v = v < 200 ? v + 1 : v + v / 37) {
        const auto bucket = DurationHistogram::bucket_of(v);
        ASSERT_LT(bucket, DurationHistogram::kBuckets);
        ASSERT_GE(bucket, last) << v;  // ordered like the values
        last = bucket;
        if (v < (1ULL << DurationHistogram::kTopExponent)) {
            const double middle = static_cast<double>(DurationHistogram::middle_of(bucket));
            ASSERT_LE(std::abs(middle - static_cast<double>(v)), static_cast<double>(v) / 64.0 + 0.5) << v;
        }
    }
    EXPECT_EQ(DurationHistogram::bucket_of(~0ULL), DurationHistogram::kBuckets - 1);
}

TEST(Histogram, QuantilesOfAKnownSpread) {
    DurationHistogram histogram;
    EXPECT_EQ(histogram.quantile(0.5), 0ns);
    for (int us = 1; us <= 10000; ++us) histogram.record(std::chrono::microseconds(us));
    histogram.record(-5ns);  // counted as zero
    EXPECT_EQ(histogram.count(), 10001u);
    EXPECT_NEAR(histogram.quantile(0.5).count(), 5'000'000, 5'000'000 / 60);
    EXPECT_NEAR(histogram.quantile(0.99).count(), 9'900'000, 9'900'000 / 60);
    EXPECT_EQ(histogram.quantile(1.0), 10ms);  // the largest, never above it
    EXPECT_EQ(histogram.max(), 10ms);
}

TEST(Histogram, ReadsWhileOneThreadRecordsSeeCountsOnlyGrow) {
    DurationHistogram histogram;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200'000; ++i) histogram.record(std::chrono::nanoseconds(i % 5000));
        done.store(true);
    });
    std::uint64_t seen = 0;
    while (!done.load()) {
        const auto count = histogram.count();
        EXPECT_GE(count, seen);
        seen = count;
        const auto quantile = histogram.quantile(0.99);  // before the max, which only grows
        EXPECT_LE(quantile, histogram.max());
    }
    writer.join();
    EXPECT_EQ(histogram.count(), 200'000u);
}

TEST(TickTiming, LatenessDurationAndMissedDeadlines) {
    TickTiming timing;
    const auto deadline = Clock::now();
    for (int i = 0; i < 100; ++i) {
        const auto started = deadline + std::chrono::microseconds(i < 50 ? 10 : 30);
        timing.record_call(deadline, CallTimes{started, started, started + 200us});
    }
    timing.record_missed(0);
    timing.record_missed(3);
    const auto summary = timing.summary();
    EXPECT_NEAR(summary.late_p50.count(), 10'000, 200);
    EXPECT_NEAR(summary.late_p99.count(), 30'000, 500);
    EXPECT_EQ(summary.late_max, 30us);
    EXPECT_NEAR(summary.call_p99.count(), 200'000, 3'000);
    EXPECT_EQ(summary.missed, 3u);
}

constexpr auto kCeiling = std::chrono::nanoseconds(800us);
constexpr auto kSafety = std::chrono::nanoseconds(20us);

TEST(LeadEstimator, StartsAtItsFirstLeadAndLearnsASteadyDelay) {
    LeadEstimator estimator(kCeiling, kCeiling, kSafety);
    EXPECT_EQ(estimator.lead(), kCeiling);
    for (std::size_t i = 0; i + 1 < LeadEstimator::kWarmup; ++i) estimator.learn(10us);
    EXPECT_EQ(estimator.lead(), kCeiling);  // too few to trust yet
    for (std::size_t i = 0; i < LeadEstimator::kWindow; ++i) estimator.learn(10us);
    EXPECT_EQ(estimator.lead(), std::chrono::nanoseconds(10us) * 9 / 8 + kSafety);
}

TEST(LeadEstimator, WidensAtOnceAfterALateDelayThenFades) {
    LeadEstimator estimator(kCeiling, 0ns, kSafety);
    for (std::size_t i = 0; i < LeadEstimator::kWindow; ++i) estimator.learn(10us);
    const auto settled = estimator.lead();
    estimator.learn(100us);  // past the lead: the very next wait begins earlier
    EXPECT_GE(estimator.lead(), 200us);
    for (std::size_t i = 0; i < LeadEstimator::kWindow; ++i) estimator.learn(10us);
    EXPECT_EQ(estimator.lead(), settled);  // one outlier among hundreds does not hold it up
}

TEST(LeadEstimator, WaitsWithoutRoomToLearnFadeItAndAtLastStartItOver) {
    LeadEstimator estimator(kCeiling, 100us, kSafety);
    for (std::size_t i = 0; i < LeadEstimator::kWindow; ++i) estimator.learn(i % 10 == 0 ? 750us : 5us);
    ASSERT_EQ(estimator.lead(), kCeiling);  // a lead no sleep fits in before a short period
    estimator.skipped();
    EXPECT_EQ(estimator.lead(), kCeiling);  // what it learned still holds
    for (std::size_t i = 1; i < LeadEstimator::kWindow; ++i) estimator.skipped();
    EXPECT_EQ(estimator.lead(), 100us);  // starts over, with room to sleep and learn
}

TEST(LeadEstimator, WaitsPassedOverFadeAWideningAndNeverStartItOver) {
    LeadEstimator estimator(kCeiling, kCeiling, kSafety);
    for (std::size_t i = 0; i < LeadEstimator::kWindow; ++i) estimator.learn(10us);
    const auto settled = estimator.lead();
    estimator.learn(100us);
    const auto widened = estimator.lead();
    estimator.passed_over();
    EXPECT_LT(estimator.lead(), widened);
    for (std::size_t i = 0; i < 2 * LeadEstimator::kWindow; ++i) estimator.passed_over();
    EXPECT_EQ(estimator.lead(), settled);  // not the first lead: what it learned holds
}

TEST(LeadEstimator, FollowsAHighQuantileAndNeverPassesTheCeiling) {
    LeadEstimator estimator(kCeiling, 0ns, kSafety);
    // Every tenth delay is 60 us: far above 1 %, so the lead covers it.
    for (std::size_t i = 0; i < 4 * LeadEstimator::kWindow; ++i) estimator.learn(i % 10 == 0 ? 60us : 5us);
    EXPECT_GE(estimator.lead(), 60us + kSafety);
    EXPECT_LT(estimator.lead(), 200us);
    const auto learned = estimator.lead();
    for (int i = 0; i < 10; ++i) estimator.learn(5ms);  // beyond the ceiling: no lead would help
    EXPECT_EQ(estimator.lead(), learned);
    for (int i = 0; i < 10; ++i) estimator.learn(700us);
    EXPECT_EQ(estimator.lead(), kCeiling);
}

TEST(GilLead, AsksAheadByTheHandOverButHoldsLessThanASwitchInterval) {
    GilLead gil(1ms);  // switch interval 50 us
    const auto deadline = Clock::now() + 10ms;
    EXPECT_EQ(gil.ask_at(deadline), deadline);  // nothing learned: at the deadline
    const auto asked = Clock::now();
    auto handed_over = [&](std::chrono::microseconds after) {
        gil.learn(asked, CallTimes{asked + after, asked + after, asked + after});
    };
    for (int i = 0; i < 300; ++i) handed_over(3us);  // a free lock: a short lead
    EXPECT_GE(deadline - gil.ask_at(deadline), 3us);
    EXPECT_LE(deadline - gil.ask_at(deadline), 20us);
    for (int i = 0; i < 300; ++i) handed_over(i % 2 ? 60us : 140us);  // a busy thread holds it
    // Covering the slowest hand-over would hold the lock 80 us after the quickest.
    EXPECT_EQ(deadline - gil.ask_at(deadline), 60us + 40us);
    for (int i = 0; i < 3; ++i) handed_over(1us);  // the lock happened to be free
    EXPECT_EQ(deadline - gil.ask_at(deadline), 60us + 40us);  // a rare one leaves the lead
}

TEST(Timer, ThreadNamesFitTheKernelLimit) {
    EXPECT_EQ(timer_thread_name(5, TimerPrecision::High), "timer-5-High");
    EXPECT_EQ(timer_thread_name(7, TimerPrecision::Realtime), "timer-7-Realtim");
    EXPECT_EQ(timer_thread_name(123456, TimerPrecision::High), "timer-123456-Hi");
}

TEST(Timer, HandleStatisticsAndDescription) {
    TimerRecords records;
    auto tick_count = records.tick_count;
    // Started long enough ago that a stalled test still reads an actual rate above 90 Hz.
    TimerHandle handle(Clock::now() - 20s, std::move(records), 3, 100.0, TimerPrecision::High);
    EXPECT_EQ(handle.actual_frequency(), 0.0);
    tick_count->store(2000);
    EXPECT_GE(handle.elapsed_secs(), 20.0);
    EXPECT_LE(handle.actual_frequency(), 100.0);
    EXPECT_GT(handle.actual_frequency(), 90.0);
    EXPECT_TRUE(std::regex_match(handle.describe(), std::regex(R"(TimerHandle\(id=3, freq=100\.0Hz, actual=(9\d|100)\.\dHz, mode=high, ticks=2000, running=true\))")))
        << handle.describe();
    handle.stop();
    EXPECT_FALSE(handle.is_running());
    EXPECT_NE(handle.describe().find("mode=high, ticks=2000, running=false)"), std::string::npos);
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
