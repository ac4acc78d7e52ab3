// Waiting for the first of several operations (a frame to send or a frame
// received; a signal or a time limit). Each poll starts at a random one, so none
// is favoured under load; the others are dropped with the select and withdraw
// their registrations.
#pragma once

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "runtime/sched/context.hpp"
#include "runtime/sync/random_index.hpp"

namespace drovik::rt {

// Completes with the first operation that is ready. Every poll starts at a
// uniformly random one, so none of them has priority. The others are dropped
// with the Select, withdrawing their registrations.
template <class... Ps>
    requires(Pollable<std::remove_reference_t<Ps>> && ...)
class Select {
public:
    using Output = std::variant<unit_if_void<output_of<std::remove_reference_t<Ps>>>...>;

    explicit Select(Ps&&... ps) : ps_(std::forward<Ps>(ps)...) {}

    bool poll(Context& cx) {
        constexpr std::size_t count = sizeof...(Ps);
        std::size_t start = detail::random_index(count);
        for (std::size_t k = 0; k < count; ++k) {
            if (poll_at((start + k) % count, cx, std::index_sequence_for<Ps...>{})) return true;
        }
        return false;
    }

    Output take() { return std::move(*output_); }

private:
    template <std::size_t I>
    bool poll_one(Context& cx) {
        auto& p = std::get<I>(ps_);
        if (!p.poll(cx)) return false;
        output_.emplace(std::in_place_index<I>, take_value(p));
        return true;
    }

    template <std::size_t... I>
    bool poll_at(std::size_t index, Context& cx, std::index_sequence<I...>) {
        bool ready = false;
        ((index == I && (ready = poll_one<I>(cx), true)) || ...);
        return ready;
    }

    std::tuple<Ps...> ps_;
    std::optional<Output> output_;
};

template <class... Ps>
Select<Ps...> select(Ps&&... ps) {
    return Select<Ps...>(std::forward<Ps>(ps)...);
}

}  // namespace drovik::rt
