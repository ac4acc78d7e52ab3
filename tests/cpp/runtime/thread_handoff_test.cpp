#include <string>

#include "runtime/sync/channel.hpp"
#include "runtime/time/timeout.hpp"
#include "test_support.hpp"

namespace drovik::rt {
namespace {

using testing::make_runtime;

Task<void> send_value(Sender<int> tx) {
    (void)tx.send(42);
    co_return;
}

Task<std::optional<int>> receive_within(Receiver<int>* rx, std::chrono::seconds limit) {
    auto got = co_await with_timeout(limit, rx->recv());
    if (!got) co_return std::nullopt;
    co_return *got;
}

// With a single worker, the task spawned before wait_for sits in that worker's
// queue; it only runs if wait_for hands the queue to another thread.
Task<std::optional<int>> wait_on_worker(Runtime* rt) {
    auto [tx, rx] = channel<int>();
    auto sender = rt->spawn(send_value(std::move(tx)));
    auto got = rt->wait_for(receive_within(&rx, std::chrono::seconds(20)));
    co_return got.ok() ? got.value() : std::nullopt;
}

TEST(ThreadHandoff, WaitForOnAWorkerKeepsItsQueuedTasksRunning) {
    auto rt = make_runtime(1);
    auto outcome = rt->block_on([](Runtime* rt) -> Task<std::optional<int>> {
        auto result = co_await rt->spawn(wait_on_worker(rt));
        co_return result.ok() ? result.value() : std::nullopt;
    }(rt.get()));
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.value(), std::optional<int>(42));
    EXPECT_EQ(rt->worker_count(), 1u);
}

Task<int> forty_two() { co_return 42; }

Task<Result<int>> nested_block_on(Runtime* rt) {
    EXPECT_TRUE(on_worker_thread());
    co_return rt->block_on(forty_two());
}

TEST(ThreadHandoff, BlockOnFromAWorkerIsRefused) {
    auto rt = make_runtime(2);
    auto outcome = rt->block_on([](Runtime* rt) -> Task<Result<int>> {
        auto joined = co_await rt->spawn(nested_block_on(rt));
        co_return std::move(joined).value();
    }(rt.get()));
    ASSERT_TRUE(outcome.ok());
    ASSERT_FALSE(outcome.value().ok());
    EXPECT_EQ(outcome.value().error().text, "cannot start a runtime from within a runtime");
    EXPECT_FALSE(on_worker_thread());
}

// Jobs queue behind a bounded set of job threads, however many wait; on a job
// thread the runtime can be waited for but not started.
TEST(JobThreads, ManyBlockedJobsAddOnlyTheBoundedThreadsAndMayWaitButNotBlockOn) {
    RuntimeConfig config;
    config.workers = 1;
    config.max_job_threads = 3;
    auto created = Runtime::create(config);
    ASSERT_TRUE(created.ok());
    auto rt = std::move(created).value();
    std::atomic<bool> release{false};
    std::atomic<int> done{0};
    std::atomic<int> refused{0};
    std::atomic<int> waited{0};
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(rt->spawn_job([&, runtime = rt.get()] {
                          while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                          if (!runtime->block_on(forty_two()).ok()) refused.fetch_add(1);
                          if (auto got = runtime->wait_for(forty_two()); got.ok() && got.value() == 42) {
                              waited.fetch_add(1);
                          }
                          done.fetch_add(1);
                      }).ok());
    }
    EXPECT_LE(rt->live_threads(), 1u + 3u);
    release.store(true);
    ASSERT_TRUE(testing::eventually([&] { return done.load() == 200; }));
    EXPECT_EQ(refused.load(), 200);
    EXPECT_EQ(waited.load(), 200);
}

}  // namespace
}  // namespace drovik::rt
