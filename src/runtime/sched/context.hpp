// The polling contract every awaitable here follows: poll() finishes, or leaves
// the context's waker where progress will come from; take() hands the outcome out
// once. Anything that keeps it can be awaited in a Task, raced in a select or
// bounded by a time-out without a coroutine of its own.
#pragma once

#include <concepts>
#include <type_traits>
#include <utility>
#include <variant>

#include "runtime/sched/waker.hpp"

namespace drovik::rt {

class Runtime;

// What a poll gets: whom to wake when it cannot finish yet, and which runtime serves it.
struct Context {
    const Waker& waker;
    Runtime& runtime;
};

// An operation a task can wait for. poll() either finishes (true) or leaves the
// context's waker registered where progress will come from (false); spurious
// re-polls are allowed. take() hands out the outcome once, after poll() said true.
// A pollable is not moved once polled: registrations point into it.
template <class P>
concept Pollable = requires(P& p, Context& cx) {
    { p.poll(cx) } -> std::same_as<bool>;
    p.take();
};

template <class P>
using output_of = decltype(std::declval<P&>().take());

template <class T>
using unit_if_void = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

template <class P>
unit_if_void<output_of<P>> take_value(P& p) {
    if constexpr (std::is_void_v<output_of<P>>) {
        p.take();
        return {};
    } else {
        return p.take();
    }
}

namespace detail {
// The context of the poll running on this thread; coroutine awaits read it.
Context*& current_context() noexcept;
}  // namespace detail

}  // namespace drovik::rt
