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

}  // namespace
}  // namespace drovik::rt
