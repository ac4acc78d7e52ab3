#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/runtime.hpp"

namespace drovik::rt::testing {

// Background work is awaited by polling against a generous deadline.
template <class Pred>
bool eventually(Pred pred, std::chrono::seconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::unique_ptr<Runtime> make_runtime(std::size_t workers,
                                             std::chrono::milliseconds blocking_idle = std::chrono::seconds(10)) {
    RuntimeConfig config;
    config.workers = workers;
    config.blocking_idle_timeout = blocking_idle;
    auto rt = Runtime::create(config);
    EXPECT_TRUE(rt.ok());
    return std::move(rt).value();
}

// A waker that only counts, for driving pollables by hand.
class CountingTarget final : public CountedWakeTarget {
public:
    void wake() override { wakes.fetch_add(1); }
    std::atomic<int> wakes{0};
};

struct ManualContext {
    explicit ManualContext(Runtime& rt) : target(new CountingTarget()), waker(Waker::adopt(target)), cx{waker, rt} {}
    CountingTarget* target;
    Waker waker;
    Context cx;
};

}  // namespace drovik::rt::testing
