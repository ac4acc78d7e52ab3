#include <thread>

#include "runtime/blocking/spawn_blocking.hpp"
#include "test_support.hpp"

namespace drovik::rt {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::make_runtime;

Task<std::thread::id> run_on_pool() {
    auto id = co_await spawn_blocking([] { return std::this_thread::get_id(); });
    co_return id.value();
}

TEST(BlockingPool, ReusesAnIdleThread) {
    auto rt = make_runtime(1);  // an idle limit no stall of the machine reaches
    auto first = rt->block_on(run_on_pool());
    auto second = rt->block_on(run_on_pool());
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_NE(first.value(), std::this_thread::get_id());
    EXPECT_EQ(first.value(), second.value());
    EXPECT_EQ(rt->blocking_pool().thread_count(), 1u);
}

TEST(BlockingPool, LetsAnIdleThreadExitAfterTheIdleLimit) {
    auto rt = make_runtime(1, 200ms);
    ASSERT_TRUE(rt->block_on(run_on_pool()).ok());
    EXPECT_TRUE(eventually([&] { return rt->blocking_pool().thread_count() == 0; }));
    EXPECT_TRUE(eventually([&] { return rt->live_threads() == rt->worker_count(); }));
}

// Jobs that wait for each other can only finish if the pool grows.
TEST(BlockingPool, GrowsWhenAllThreadsAreBusy) {
    auto rt = make_runtime(1);
    constexpr int kJobs = 6;
    auto outcome = rt->block_on([](Runtime* rt) -> Task<bool> {
        std::atomic<int> arrived{0};
        std::vector<JoinHandle<bool>> handles;
        for (int i = 0; i < kJobs; ++i) {
            handles.push_back(rt->spawn([](std::atomic<int>* arrived) -> Task<bool> {
                auto r = co_await spawn_blocking([arrived] {
                    arrived->fetch_add(1);
                    return eventually([arrived] { return arrived->load() == kJobs; });
                });
                co_return r.ok() && r.value();
            }(&arrived)));
        }
        bool all = true;
        for (auto& h : handles) {
            auto r = co_await h;
            all = all && r.ok() && r.value();
        }
        co_return all;
    }(rt.get()));
    ASSERT_TRUE(outcome.ok());
    EXPECT_TRUE(outcome.value());
}

}  // namespace
}  // namespace drovik::rt
