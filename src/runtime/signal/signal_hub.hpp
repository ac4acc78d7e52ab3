// The process-wide side of signal listening. The handler is async-signal-safe:
// it chains to the handler installed before it, counts the delivery and writes
// to one eventfd. Every runtime a listener has waited on watches that eventfd;
// the driver that sees it runs on_events, which compares each subscription's
// count with the one it last saw and wakes those with news. Handlers stay
// installed for the life of the process.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "runtime/io/event_source.hpp"
#include "runtime/result.hpp"
#include "runtime/sched/waker.hpp"

namespace drovik::rt::detail {

// One listener's view of its signal: deliveries it has seen and whether a new one is pending.
struct SignalSubscription {
    int signo = 0;
    std::uint64_t seen = 0;
    bool pending = false;
    Waker waker;
};

// The process-level side of signal listening. The handler only counts the
// delivery and writes to an eventfd; every runtime that has a listener watches
// that descriptor and calls on_events, which notifies the subscriptions.
class SignalHub final : public EventSource {
public:
    static SignalHub& instance();

    // Installs the process handler for the signal on first use.
    Result<void> install(int signo);
    int fd() const noexcept { return fd_; }

    void subscribe(SignalSubscription& subscription);
    void unsubscribe(SignalSubscription& subscription);
    // True when a delivery is pending, consuming it; otherwise keeps the waker.
    bool poll(SignalSubscription& subscription, const Waker& waker);
    void forget_waker(SignalSubscription& subscription);

    void on_events(std::uint32_t events) override;

private:
    SignalHub();

    int fd_ = -1;
    int fd_error_ = 0;
    std::mutex mu_;
    std::vector<bool> installed_;
    std::vector<SignalSubscription*> subscriptions_;
};

}  // namespace drovik::rt::detail
