#include <thread>
#include <utility>
#include <vector>

#include "runtime/sync/channel.hpp"
#include "test_support.hpp"

namespace drovik::rt {
namespace {

using testing::make_runtime;

struct Message {
    int producer;
    int seq;
};

Task<std::vector<Message>> drain(Receiver<Message> rx) {
    std::vector<Message> got;
    while (auto m = co_await rx.recv()) got.push_back(*m);
    co_return got;
}

// Consumer on a worker, producers on plain threads; the channel closes when the last sender goes.
TEST(Channel, KeepsEachProducersOrderAndClosesWhenAllSendersAreGone) {
    auto rt = make_runtime(2);
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 5000;
    auto [tx, rx] = channel<Message>();
    auto consumer = rt->spawn(drain(std::move(rx)));
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([p, sender = tx] () mutable {
            for (int i = 0; i < kPerProducer; ++i) ASSERT_TRUE(sender.send(Message{p, i}).ok());
        });
    }
    { auto last = std::move(tx); }
    for (auto& t : producers) t.join();

    auto got = rt->block_on([](JoinHandle<std::vector<Message>>* h) -> Task<Result<std::vector<Message>>> {
        co_return co_await *h;
    }(&consumer));
    ASSERT_TRUE(got.ok() && got.value().ok());
    const auto& messages = got.value().value();
    ASSERT_EQ(messages.size(), static_cast<std::size_t>(kProducers * kPerProducer));
    std::vector<int> next(kProducers, 0);
    for (const auto& m : messages) {
        ASSERT_EQ(m.seq, next[m.producer]);
        ++next[m.producer];
    }
}

TEST(Channel, SendFailsOnceTheReceiverIsGone) {
    auto [tx, rx] = channel<int>();
    ASSERT_TRUE(tx.send(1).ok());
    { auto gone = std::move(rx); }
    auto sent = tx.send(2);
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().kind, ErrorKind::BrokenPipe);
    EXPECT_EQ(sent.error().text, "channel closed");
}

TEST(Channel, TryRecvTakesQueuedValuesThenReportsClosure) {
    auto [tx, rx] = channel<int>();
    EXPECT_EQ(rx.try_recv(), std::nullopt);
    ASSERT_TRUE(tx.send(1).ok());
    ASSERT_TRUE(tx.send(2).ok());
    { auto gone = std::move(tx); }
    EXPECT_TRUE(rx.closed());
    EXPECT_EQ(rx.try_recv(), std::optional<int>(1));
    EXPECT_EQ(rx.try_recv(), std::optional<int>(2));
    EXPECT_EQ(rx.try_recv(), std::nullopt);
}

}  // namespace
}  // namespace drovik::rt
