#include <atomic>
#include <thread>
#include <vector>

#include "runtime/sync/async_mutex.hpp"
#include "runtime/time/sleep.hpp"
#include "runtime/time/timeout.hpp"
#include "test_support.hpp"

namespace drovik::rt {
namespace {

using testing::eventually;
using testing::make_runtime;

Task<int> add_one(int x) { co_return x + 1; }

Task<int> nested_sum(int depth) {
    if (depth == 0) co_return 0;
    int below = co_await nested_sum(depth - 1);
    int one = co_await add_one(0);
    co_return below + one;
}

TEST(Task, SpawnedTaskResultIsJoinedThroughNestedAwaits) {
    auto rt = make_runtime(2);
    auto outcome = rt->block_on(nested_sum(50));
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.value(), 50);

    auto joined = rt->block_on([](Runtime* rt) -> Task<int> {
        auto handle = rt->spawn(nested_sum(7));
        auto r = co_await handle;
        co_return r.ok() ? r.value() : -1;
    }(rt.get()));
    ASSERT_TRUE(joined.ok());
    EXPECT_EQ(joined.value(), 7);
}

Task<void> count_after_sleep(std::atomic<int>* counter) {
    co_await sleep_for(std::chrono::milliseconds(1));
    counter->fetch_add(1);
}

TEST(Task, DroppingTheHandleDetachesTheTask) {
    auto rt = make_runtime(2);
    std::atomic<int> done{0};
    { auto handle = rt->spawn(count_after_sleep(&done)); }
    EXPECT_TRUE(eventually([&] { return done.load() == 1; }));
}

Task<void> count(std::atomic<int>* counter) {
    counter->fetch_add(1, std::memory_order_relaxed);
    co_return;
}

TEST(Task, TenThousandTasksSpawnedFromSeveralThreadsAllComplete) {
    auto rt = make_runtime(2);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2500;
    std::atomic<int> done{0};
    std::vector<std::thread> spawners;
    for (int t = 0; t < kThreads; ++t) {
        spawners.emplace_back([&] {
            for (int i = 0; i < kPerThread; ++i) {
                auto detached = rt->spawn(count(&done));
            }
        });
    }
    for (auto& s : spawners) s.join();
    EXPECT_TRUE(eventually([&] { return done.load() == kThreads * kPerThread; }));
}

struct DestructionFlag {
    std::atomic<bool>* flag;
    ~DestructionFlag() { flag->store(true); }
};

Task<void> hold_lock_forever(AsyncMutex* mutex, std::atomic<bool>* destroyed, std::atomic<bool>* started) {
    DestructionFlag flag{destroyed};
    started->store(true);
    auto guard = co_await mutex->lock();
    co_await sleep_for(std::chrono::hours(1));
}

Task<bool> lock_within(AsyncMutex* mutex, std::chrono::seconds limit) {
    auto guard = co_await with_timeout(limit, mutex->lock());
    co_return guard.has_value();
}

// A task aborted while queued on the mutex must leave the queue, otherwise the
// next grant would go to a task that no longer exists.
TEST(Task, AbortDestroysLocalsAndWithdrawsRegistrations) {
    auto rt = make_runtime(2);
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    ASSERT_TRUE(held.has_value());

    std::atomic<bool> destroyed{false};
    std::atomic<bool> started{false};
    auto waiter = rt->spawn(hold_lock_forever(&mutex, &destroyed, &started));
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    waiter.abort();
    auto joined = rt->block_on([](JoinHandle<void>* h) -> Task<Result<void>> { co_return co_await *h; }(&waiter));
    ASSERT_TRUE(joined.ok());
    ASSERT_FALSE(joined.value().ok());
    EXPECT_EQ(joined.value().error().kind, ErrorKind::Aborted);
    EXPECT_TRUE(destroyed.load());

    held.reset();
    auto relocked = rt->block_on(lock_within(&mutex, std::chrono::seconds(20)));
    ASSERT_TRUE(relocked.ok());
    EXPECT_TRUE(relocked.value());
}

}  // namespace
}  // namespace drovik::rt
