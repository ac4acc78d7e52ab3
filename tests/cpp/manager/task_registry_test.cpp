#include "core/manager/task_registry.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

namespace drovik::manager {
namespace {

using namespace std::chrono_literals;

RunningFlag flag(bool running) { return std::make_shared<RunningState>(running); }

rt::Deadline after_ms(std::optional<std::uint64_t> ms) { return rt::Deadline::after_ms(ms); }

struct Entry {
    TaskId id;
    bool running;
    TaskKind kind;
};

struct SummaryCase {
    const char* name;
    std::vector<Entry> entries;
    StatusSummary expected;
};

class StatusSummaryTest : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(StatusSummaryTest, CountsEachEntryOnceByFlagThenKind) {
    TaskManager manager;
    for (const auto& e : GetParam().entries) manager.register_task(e.id, flag(e.running), nullptr, e.kind);
    const auto& want = GetParam().expected;
    EXPECT_EQ(manager.status_summary(), want);
    EXPECT_EQ(manager.timer_count(), want.running_timers);
    EXPECT_EQ(manager.async_task_count(), want.running_tasks);
    EXPECT_EQ(manager.running_count(), want.running_timers + want.running_tasks);
    EXPECT_EQ(manager.total_count(), want.total);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, StatusSummaryTest,
    ::testing::Values(
        SummaryCase{"empty", {}, {0, 0, 0, 0}},
        SummaryCase{"one_of_each", {{1, true, TaskKind::Timer}, {2, true, TaskKind::AsyncTask}}, {1, 1, 0, 2}},
        SummaryCase{"stopped_of_both_kinds",
                    {{1, false, TaskKind::Timer}, {2, false, TaskKind::AsyncTask}, {3, true, TaskKind::Timer}},
                    {1, 0, 2, 3}},
        SummaryCase{"same_id_replaces", {{7, true, TaskKind::Timer}, {7, false, TaskKind::AsyncTask}}, {0, 0, 1, 1}}),
    [](const auto& info) { return info.param.name; });

// What the after-stop work found when it ran: the running count, or -1 if it never ran.
TaskManager* stopped_manager = nullptr;
long running_at_after_stop = -1;
void record_after_stop() noexcept { running_at_after_stop = static_cast<long>(stopped_manager->running_count()); }

TEST(Registry, StopAllRaisesTheShutdownFlagAndClearsEveryFlagButKeepsEntries) {
    TaskManager manager;
    auto timer = flag(true), task = flag(true);
    manager.register_task(1, timer, nullptr, TaskKind::Timer);
    manager.register_task(2, task, nullptr, TaskKind::AsyncTask);
    EXPECT_FALSE(manager.shutdown_flag());
    stopped_manager = &manager;
    manager.set_after_stop(&record_after_stop);
    manager.stop_all();
    EXPECT_EQ(running_at_after_stop, 0);  // ran, once every flag was clear, and took no lock it holds
    EXPECT_TRUE(manager.shutdown_flag());
    EXPECT_FALSE(timer->load());
    EXPECT_FALSE(task->load());
    EXPECT_EQ(manager.status_summary(), (StatusSummary{0, 0, 2, 2}));
    manager.cleanup();
    EXPECT_EQ(manager.status_summary(), (StatusSummary{0, 0, 0, 0}));
}

TEST(Registry, CleanupRemovesOnlyStoppedEntriesAndUnregisterOnlyItsOwn) {
    TaskManager manager;
    manager.register_task(1, flag(false), nullptr, TaskKind::Timer);
    manager.register_task(2, flag(true), nullptr, TaskKind::Timer);
    manager.register_task(3, flag(true), nullptr, TaskKind::AsyncTask);
    manager.cleanup();
    EXPECT_EQ(manager.status_summary(), (StatusSummary{1, 1, 0, 2}));
    manager.unregister(42);
    manager.unregister(2);
    EXPECT_EQ(manager.status_summary(), (StatusSummary{0, 1, 0, 1}));
}

TEST(Registry, RegistryReleasesTheHandleSlotWithTheEntry) {
    TaskManager manager;
    auto slot = std::make_shared<HandleSlot>();
    std::weak_ptr<HandleSlot> watch = slot;
    manager.register_task(1, flag(true), std::move(slot), TaskKind::Timer);
    EXPECT_FALSE(watch.expired());
    manager.unregister(1);
    EXPECT_TRUE(watch.expired());
}

TEST(Registry, WaitAllIsTrueAtOnceWithoutRunningEntries) {
    TaskManager manager;
    EXPECT_TRUE(manager.wait_all(after_ms(0)));
    manager.register_task(1, flag(false), nullptr, TaskKind::Timer);
    EXPECT_TRUE(manager.wait_all(after_ms(0)));
    EXPECT_TRUE(manager.wait_all(rt::Deadline::never()));
}

TEST(Registry, WaitAllZeroGivesUpOnARunningEntryAndStopsNothing) {
    TaskManager manager;
    auto running = flag(true);
    manager.register_task(1, running, nullptr, TaskKind::AsyncTask);
    EXPECT_FALSE(manager.wait_all(after_ms(0)));
    EXPECT_TRUE(running->load());
    EXPECT_FALSE(manager.shutdown_flag());
}

TEST(Registry, WaitAllGivesUpOnlyAfterItsTimeout) {
    TaskManager manager;
    manager.register_task(1, flag(true), nullptr, TaskKind::Timer);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(manager.wait_all(after_ms(25)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);
}

// The wait sleeps until told: the flag clearing, or the running entry going, wakes it.
class WaitAllWakes : public ::testing::TestWithParam<bool> {};

TEST_P(WaitAllWakes, WithoutTimeoutWhenTheLastRunningEntryEnds) {
    const bool by_unregister = GetParam();
    TaskManager manager;
    auto running = flag(true);
    manager.register_task(1, running, nullptr, TaskKind::AsyncTask);
    std::thread ender([&] {
        std::this_thread::sleep_for(30ms);
        if (by_unregister) {
            manager.unregister(1);
        } else {
            running->store(false);
        }
    });
    EXPECT_TRUE(manager.wait_all(rt::Deadline::never()));
    EXPECT_EQ(manager.running_count(), 0u);
    ender.join();
}

INSTANTIATE_TEST_SUITE_P(Registry, WaitAllWakes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "unregister" : "flag_cleared"; });

std::atomic<int> handled{0};
void count_signal(int) { handled.fetch_add(1); }

// A handler that runs on the waiting thread ends only the signal-aware wait;
// the plain one (block_all's) sleeps on until the flag clears.
TEST(Registry, OnlyTheSignalAwareWaitEndsWhenAHandlerRuns) {
    struct sigaction action {}, before {};
    action.sa_handler = &count_signal;  // no SA_RESTART, as the interpreter installs its own
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &before), 0);
    TaskManager manager;
    auto running = flag(true);
    manager.register_task(1, running, nullptr, TaskKind::Timer);

    std::atomic<int> ended{-1};
    std::thread aware([&] { ended = static_cast<int>(manager.wait_all_or_signal(rt::Deadline::never())); });
    // One sent before the waiter sleeps ends nothing; keep sending until one does.
    while (ended.load() < 0) {
        pthread_kill(aware.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(5ms);
    }
    aware.join();
    EXPECT_EQ(ended.load(), static_cast<int>(WaitEnd::Interrupted));

    std::atomic<bool> returned{false};
    std::thread plain([&] {
        EXPECT_TRUE(manager.wait_all(rt::Deadline::never()));
        returned = true;
    });
    for (int target = handled.load() + 5; handled.load() < target;) {
        pthread_kill(plain.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_FALSE(returned.load());
    running->store(false);
    plain.join();
    EXPECT_TRUE(returned.load());
    sigaction(SIGUSR1, &before, nullptr);
}

TEST(Registry, TaskIdsAreUniqueAndConsecutiveAcrossThreads) {
    constexpr int kThreads = 4, kPerThread = 1000;
    std::vector<std::vector<TaskId>> drawn(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) drawn[t].push_back(next_task_id());
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<TaskId> all;
    for (const auto& ids : drawn) {
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        all.insert(ids.begin(), ids.end());
    }
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_GE(*all.begin(), 1u);
    EXPECT_EQ(*all.rbegin() - *all.begin() + 1, all.size());
}

// Registrations, removals, stops and summaries racing: every summary stays
// consistent, and after the last stop nothing counts as running.
TEST(Registry, SummaryStaysConsistentUnderConcurrentChanges) {
    TaskManager manager;
    std::atomic<bool> done{false};
    std::atomic<int> bad_summaries{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&, w] {
            for (TaskId i = 0; i < 2000; ++i) {
                TaskId id = i * 3 + static_cast<TaskId>(w);
                manager.register_task(id, flag(true), nullptr, i % 2 ? TaskKind::Timer : TaskKind::AsyncTask);
                if (i % 3 == 0) manager.unregister(id);
                if (i % 97 == 0) manager.stop_all();
                if (i % 89 == 0) manager.cleanup();
            }
        });
    }
    std::thread reader([&] {
        while (!done.load()) {
            auto s = manager.status_summary();
            if (s.running_timers + s.running_tasks + s.stopped != s.total) ++bad_summaries;
        }
    });
    for (auto& writer : writers) writer.join();
    done = true;
    reader.join();
    EXPECT_EQ(bad_summaries.load(), 0);
    manager.stop_all();
    auto s = manager.status_summary();
    EXPECT_EQ(s.running_timers + s.running_tasks, 0u);
    EXPECT_EQ(s.stopped, s.total);
    EXPECT_TRUE(manager.wait_all(after_ms(0)));
}

}  // namespace
}  // namespace drovik::manager
