// Task<T>, the coroutine every asynchronous operation here is written as. It does
// nothing until polled; each poll first re-polls the operation the coroutine is
// suspended on and resumes it only once that is ready, so an await never resumes
// to an unfinished operation. A Task owns its frame and, through its awaits, the
// frames of the tasks it awaits: destroying it destroys the whole chain, and
// their locals withdraw whatever they were registered with. Nothing is caught
// here: failures travel as Result values.
#pragma once

#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "runtime/sched/context.hpp"

namespace drovik::rt {

template <class T = void>
class Task;

namespace detail {

// The operation a suspended coroutine waits for; polled before resuming it, so a
// coroutine only ever resumes when its await can complete.
struct PendingPoll {
    void* target = nullptr;
    bool (*poll)(void*, Context&) = nullptr;
};

template <class P>
class PollAwaiter {
    using Stored = std::remove_reference_t<P>;

public:
    PollAwaiter(P&& p, PendingPoll& pending) : p_(std::forward<P>(p)), pending_(pending) {}

    bool await_ready() { return p_.poll(*current_context()); }
    void await_suspend(std::coroutine_handle<>) noexcept {
        pending_.target = std::addressof(p_);
        pending_.poll = [](void* target, Context& cx) { return static_cast<Stored*>(target)->poll(cx); };
    }
    decltype(auto) await_resume() { return p_.take(); }

private:
    P p_;
    PendingPoll& pending_;
};

struct PromiseBase {
    PendingPoll pending;

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    // Tasks report failures as values, so nothing is caught here: the forced
    // unwind of a thread the exiting interpreter ends passes through, and any
    // other exception ends the process where it leaves the thread.
    void unhandled_exception() { throw; }

    template <class P>
        requires Pollable<std::remove_reference_t<P>>
    PollAwaiter<P> await_transform(P&& p) {
        return PollAwaiter<P>(std::forward<P>(p), pending);
    }
};

template <class T>
struct Promise : PromiseBase {
    std::optional<T> value;

    Task<T> get_return_object();
    template <class U>
    void return_value(U&& v) {
        value.emplace(std::forward<U>(v));
    }
};

template <>
struct Promise<void> : PromiseBase {
    Task<void> get_return_object();
    void return_void() noexcept {}
};

}  // namespace detail

// A lazily started coroutine. It runs only while polled, by its awaiting parent,
// a spawned task or block_on; destroying it destroys every frame it suspended in.
template <class T>
class [[nodiscard]] Task {
public:
    using promise_type = detail::Promise<T>;

    Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, {});
        }
        return *this;
    }
    ~Task() { reset(); }

    bool poll(Context& cx) {
        if (h_.done()) return true;
        detail::PendingPoll& pending = h_.promise().pending;
        if (pending.poll != nullptr) {
            if (!pending.poll(pending.target, cx)) return false;
            pending = {};
        }
        Context*& current = detail::current_context();
        Context* outer = std::exchange(current, &cx);
        h_.resume();
        current = outer;
        return h_.done();
    }

    T take() {
        if constexpr (!std::is_void_v<T>) return std::move(*h_.promise().value);
    }

private:
    friend promise_type;
    explicit Task(std::coroutine_handle<promise_type> h) : h_(h) {}
    void reset() noexcept {
        if (h_) std::exchange(h_, {}).destroy();
    }

    std::coroutine_handle<promise_type> h_;
};

namespace detail {

template <class T>
Task<T> Promise<T>::get_return_object() {
    return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}

inline Task<void> Promise<void>::get_return_object() {
    return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

}  // namespace detail

}  // namespace drovik::rt
