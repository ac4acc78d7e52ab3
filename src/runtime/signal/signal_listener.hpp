// Waiting for a POSIX signal inside a task. A listener subscribes at creation, so
// no delivery after that is missed; deliveries while nobody waits merge into one.
// The first wait on a runtime adds the hub's eventfd to its reactor.
#pragma once

#include <memory>

#include "runtime/result.hpp"
#include "runtime/sched/context.hpp"
#include "runtime/signal/signal_hub.hpp"

namespace drovik::rt {

class NextSignal;

// Interest in one POSIX signal: next() completes at the first delivery after
// the listener was created, or after the previous next() completed. Deliveries
// arriving while nobody waits are merged into one.
class SignalListener {
public:
    static Result<SignalListener> create(int signo);

    SignalListener(SignalListener&&) noexcept = default;
    SignalListener& operator=(SignalListener&&) noexcept = default;
    ~SignalListener();

    NextSignal next();

private:
    struct Unsubscribe {
        void operator()(detail::SignalSubscription* subscription) const;
    };
    explicit SignalListener(std::unique_ptr<detail::SignalSubscription, Unsubscribe> subscription)
        : subscription_(std::move(subscription)) {}

    std::unique_ptr<detail::SignalSubscription, Unsubscribe> subscription_;
};

class NextSignal {
public:
    explicit NextSignal(detail::SignalSubscription& subscription) : subscription_(subscription) {}
    NextSignal(NextSignal&&) = default;
    ~NextSignal();

    bool poll(Context& cx);
    // Fails when the runtime cannot watch the signal descriptor.
    Result<void> take();

private:
    detail::SignalSubscription& subscription_;
    std::optional<Error> failure_;
    bool waiting_ = false;
};

}  // namespace drovik::rt
