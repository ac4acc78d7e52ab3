// Unbounded multi-producer, single-consumer channels: how frames pass between
// Python calls and background tasks. A send never waits (one exchange and one
// store) and fails only once the receiver is gone; values arrive in the order
// their sends linked them. The receiver waits through an AtomicWaker, sees the
// end once every sender is gone and the queue is drained, and drops whatever is
// still queued when it goes.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "runtime/result.hpp"
#include "runtime/sched/context.hpp"
#include "runtime/sync/atomic_waker.hpp"

namespace drovik::rt {

namespace detail {

// Unbounded multi-producer single-consumer FIFO: an intrusive linked queue
// where a push is one exchange and one store, and the consumer owns the head.
template <class T>
class ChannelState {
public:
    ChannelState() : tail_(new Node()), head_(tail_.load(std::memory_order_relaxed)) {}
    ~ChannelState() {
        while (head_ != nullptr) delete std::exchange(head_, head_->next.load(std::memory_order_relaxed));
    }

    Result<void> push(T value) {
        if (!receiver_alive_.load(std::memory_order_acquire)) {
            return Error{ErrorKind::BrokenPipe, "channel closed"};
        }
        Node* node = new Node();
        node->value.emplace(std::move(value));
        Node* previous = tail_.exchange(node, std::memory_order_acq_rel);
        // Sequentially consistent on both sides (link then look here, park then
        // look in poll_recv): either we see the consumer parked or it sees the node.
        previous->next.store(node, std::memory_order_seq_cst);
        if (consumer_parked_.load(std::memory_order_seq_cst) &&
            consumer_parked_.exchange(false, std::memory_order_acq_rel)) {
            consumer_.wake();
        }
        return {};
    }

    std::optional<T> pop() {
        Node* next = head_->next.load(std::memory_order_seq_cst);
        if (next == nullptr) return std::nullopt;  // empty, or a push half done that will wake us
        std::optional<T> value = std::move(next->value);
        next->value.reset();
        delete std::exchange(head_, next);
        return value;
    }

    // Ready with a value, or with nothing once every sender is gone and the queue drained.
    bool poll_recv(const Waker& waker, std::optional<T>& out) {
        if (try_take(out)) return true;
        consumer_.register_waker(waker);
        consumer_parked_.store(true, std::memory_order_seq_cst);
        if (try_take(out)) {
            consumer_parked_.store(false, std::memory_order_relaxed);
            return true;
        }
        return false;
    }

    void add_sender() { senders_.fetch_add(1, std::memory_order_relaxed); }
    void drop_sender() {
        if (senders_.fetch_sub(1, std::memory_order_acq_rel) == 1) consumer_.wake();
    }
    void drop_receiver() {
        receiver_alive_.store(false, std::memory_order_release);
        while (pop()) {
        }
    }
    bool senders_gone() const { return senders_.load(std::memory_order_acquire) == 0; }

private:
    struct Node {
        std::atomic<Node*> next{nullptr};
        std::optional<T> value;
    };

    bool try_take(std::optional<T>& out) {
        out = pop();
        if (out) return true;
        if (!senders_gone()) return false;
        // The last sender may have pushed just before leaving.
        out = pop();
        return true;
    }

    std::atomic<Node*> tail_;
    Node* head_;
    std::atomic<std::size_t> senders_{1};
    std::atomic<bool> receiver_alive_{true};
    std::atomic<bool> consumer_parked_{false};
    AtomicWaker consumer_;
};

}  // namespace detail

template <class T>
class Sender {
public:
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
    Sender(const Sender& other) : state_(other.state_) {
        if (state_) state_->add_sender();
    }
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Sender() {
        if (state_) state_->drop_sender();
    }

    // Never waits; fails once the receiver is gone, dropping the value.
    Result<void> send(T value) { return state_->push(std::move(value)); }

private:
    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Recv {
public:
    explicit Recv(detail::ChannelState<T>& state) : state_(state) {}
    bool poll(Context& cx) { return state_.poll_recv(cx.waker, value_); }
    std::optional<T> take() { return std::move(value_); }

private:
    detail::ChannelState<T>& state_;
    std::optional<T> value_;
};

template <class T>
class Receiver {
public:
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Receiver() {
        if (state_) state_->drop_receiver();
    }

    // Empty once all senders are gone and everything sent was received.
    Recv<T> recv() { return Recv<T>(*state_); }
    std::optional<T> try_recv() { return state_->pop(); }
    bool closed() const { return state_->senders_gone(); }

private:
    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> channel() {
    auto state = std::make_shared<detail::ChannelState<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace drovik::rt
