#include <vector>

#include "runtime/sync/async_mutex.hpp"
#include "test_support.hpp"

namespace drovik::rt {
namespace {

using testing::make_runtime;
using testing::ManualContext;

// Waiters queued in a known order are granted in that order, one at a time.
TEST(AsyncMutex, GrantsWaitersInArrivalOrder) {
    auto rt = make_runtime(1);
    AsyncMutex mutex;
    auto first = mutex.try_lock();
    ASSERT_TRUE(first.has_value());

    constexpr int kWaiters = 5;
    std::vector<std::unique_ptr<ManualContext>> contexts;
    std::vector<std::unique_ptr<MutexLock>> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        contexts.push_back(std::make_unique<ManualContext>(*rt));
        waiters.push_back(std::make_unique<MutexLock>(mutex.lock()));
        ASSERT_FALSE(waiters[i]->poll(contexts[i]->cx));
    }
    EXPECT_FALSE(mutex.try_lock().has_value());

    first.reset();
    for (int i = 0; i < kWaiters; ++i) {
        for (int j = i + 1; j < kWaiters; ++j) {
            EXPECT_FALSE(waiters[j]->poll(contexts[j]->cx)) << "waiter " << j << " overtook " << i;
        }
        EXPECT_EQ(contexts[i]->target->wakes.load(), 1);
        ASSERT_TRUE(waiters[i]->poll(contexts[i]->cx));
        auto guard = waiters[i]->take();
    }
    EXPECT_TRUE(mutex.try_lock().has_value());
}

// A waiter that gives up after being granted passes the lock on.
TEST(AsyncMutex, AbandonedGrantPassesToTheNextWaiter) {
    auto rt = make_runtime(1);
    AsyncMutex mutex;
    auto held = mutex.try_lock();
    ManualContext a(*rt), b(*rt);
    auto quitter = std::make_unique<MutexLock>(mutex.lock());
    MutexLock next = mutex.lock();
    ASSERT_FALSE(quitter->poll(a.cx));
    ASSERT_FALSE(next.poll(b.cx));
    held.reset();
    quitter.reset();
    EXPECT_EQ(b.target->wakes.load(), 1);
    EXPECT_TRUE(next.poll(b.cx));
}

Task<void> add_under_lock(AsyncMutex* mutex, long* counter, int times) {
    for (int i = 0; i < times; ++i) {
        auto guard = co_await mutex->lock();
        long seen = *counter;
        co_await [] () -> Task<void> { co_return; }();
        *counter = seen + 1;
    }
}

TEST(AsyncMutex, SerialisesTasksAcrossWorkers) {
    auto rt = make_runtime(2);
    AsyncMutex mutex;
    long counter = 0;
    constexpr int kTasks = 8;
    constexpr int kTimes = 500;
    auto all = rt->block_on([](Runtime* rt, AsyncMutex* m, long* c) -> Task<bool> {
        std::vector<JoinHandle<void>> handles;
        for (int i = 0; i < kTasks; ++i) handles.push_back(rt->spawn(add_under_lock(m, c, kTimes)));
        bool ok = true;
        for (auto& h : handles) ok = (co_await h).ok() && ok;
        co_return ok;
    }(rt.get(), &mutex, &counter));
    ASSERT_TRUE(all.ok() && all.value());
    EXPECT_EQ(counter, kTasks * kTimes);
}

}  // namespace
}  // namespace drovik::rt
