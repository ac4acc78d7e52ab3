#include <array>
#include <variant>

#include "runtime/sync/channel.hpp"
#include "runtime/sync/select.hpp"
#include "runtime/time/sleep.hpp"
#include "test_support.hpp"

namespace drovik::rt {
namespace {

using namespace std::chrono_literals;
using testing::make_runtime;

Task<int> ready(int v) { co_return v; }

// Both sides always ready: each must win a fair share.
TEST(Select, NeitherOfTwoReadySidesStarves) {
    auto rt = make_runtime(1);
    constexpr int kRounds = 2000;
    auto wins = rt->block_on([]() -> Task<std::array<int, 2>> {
        std::array<int, 2> wins{};
        for (int i = 0; i < kRounds; ++i) {
            auto r = co_await select(ready(0), ready(1));
            ++wins[r.index()];
        }
        co_return wins;
    }());
    ASSERT_TRUE(wins.ok());
    // Binomial(2000, 0.5): below 800 happens with probability far under 1e-15.
    EXPECT_GT(wins.value()[0], 800);
    EXPECT_GT(wins.value()[1], 800);
}

TEST(Select, TheReadySideWinsOverAPendingOne) {
    auto rt = make_runtime(1);
    auto outcome = rt->block_on([]() -> Task<bool> {
        auto [tx, rx] = channel<int>();
        auto first = co_await select(rx.recv(), sleep_for(1ms));
        bool slept = first.index() == 1;
        (void)tx.send(5);
        auto second = co_await select(sleep_for(std::chrono::hours(1)), rx.recv());
        co_return slept && second.index() == 1 && std::get<1>(second) == std::optional<int>(5);
    }());
    ASSERT_TRUE(outcome.ok());
    EXPECT_TRUE(outcome.value());
}

}  // namespace
}  // namespace drovik::rt
