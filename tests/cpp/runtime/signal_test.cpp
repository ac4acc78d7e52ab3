#include <signal.h>

#include <atomic>

#include "runtime/signal/signal_listener.hpp"
#include "runtime/time/timeout.hpp"
#include "test_support.hpp"

namespace drovik::rt {
namespace {

using testing::eventually;
using testing::make_runtime;

std::atomic<int> previous_handler_calls{0};
void previous_handler(int) { previous_handler_calls.fetch_add(1); }

// Installed once: a second sigaction would replace the runtime's own handler.
void install_previous_handler() {
    static const bool installed = [] {
        struct sigaction before {};
        before.sa_handler = &previous_handler;
        sigemptyset(&before.sa_mask);
        return sigaction(SIGUSR1, &before, nullptr) == 0;
    }();
    ASSERT_TRUE(installed);
}

Task<bool> wait_signal(SignalListener* listener, std::atomic<bool>* waiting) {
    auto next = listener->next();
    waiting->store(true);
    auto got = co_await with_timeout(std::chrono::seconds(20), std::move(next));
    co_return got.has_value() && got->ok();
}

// Every listener registered at delivery time hears it, and the handler installed before still runs.
TEST(SignalListener, NotifiesAllListenersAndChainsThePreviousHandler) {
    install_previous_handler();
    const int calls_before = previous_handler_calls.load();
    auto rt = make_runtime(2);
    auto first = SignalListener::create(SIGUSR1);
    auto second = SignalListener::create(SIGUSR1);
    ASSERT_TRUE(first.ok() && second.ok());
    std::atomic<bool> first_waiting{false}, second_waiting{false};
    auto a = rt->spawn(wait_signal(&first.value(), &first_waiting));
    auto b = rt->spawn(wait_signal(&second.value(), &second_waiting));
    ASSERT_TRUE(eventually([&] { return first_waiting.load() && second_waiting.load(); }));

    raise(SIGUSR1);
    auto both = rt->block_on([](JoinHandle<bool>* a, JoinHandle<bool>* b) -> Task<bool> {
        auto ra = co_await *a;
        auto rb = co_await *b;
        co_return ra.ok() && ra.value() && rb.ok() && rb.value();
    }(&a, &b));
    ASSERT_TRUE(both.ok());
    EXPECT_TRUE(both.value());
    EXPECT_EQ(previous_handler_calls.load(), calls_before + 1);
}

// Once listened to, SIGTERM no longer ends the process: the default action is not chained.
TEST(SignalListener, DefaultDispositionIsNotChained) {
    auto rt = make_runtime(1);
    auto listener = SignalListener::create(SIGTERM);
    ASSERT_TRUE(listener.ok());
    std::atomic<bool> waiting{false};
    auto handle = rt->spawn(wait_signal(&listener.value(), &waiting));
    ASSERT_TRUE(eventually([&] { return waiting.load(); }));
    raise(SIGTERM);
    auto got = rt->block_on([](JoinHandle<bool>* h) -> Task<bool> {
        auto r = co_await *h;
        co_return r.ok() && r.value();
    }(&handle));
    ASSERT_TRUE(got.ok());
    EXPECT_TRUE(got.value());
}

TEST(SignalListener, InvalidSignalIsAnError) {
    auto listener = SignalListener::create(0);
    ASSERT_FALSE(listener.ok());
    EXPECT_EQ(listener.error().kind, ErrorKind::InvalidInput);
}

}  // namespace
}  // namespace drovik::rt
