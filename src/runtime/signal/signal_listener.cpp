#include "runtime/signal/signal_listener.hpp"

#include "runtime/io/reactor.hpp"
#include "runtime/runtime.hpp"

namespace drovik::rt {

void SignalListener::Unsubscribe::operator()(detail::SignalSubscription* subscription) const {
    detail::SignalHub::instance().unsubscribe(*subscription);
    delete subscription;
}

Result<SignalListener> SignalListener::create(int signo) {
    detail::SignalHub& hub = detail::SignalHub::instance();
    if (auto installed = hub.install(signo); !installed) return installed.error();
    std::unique_ptr<detail::SignalSubscription, Unsubscribe> subscription(new detail::SignalSubscription());
    subscription->signo = signo;
    hub.subscribe(*subscription);
    return SignalListener(std::move(subscription));
}

SignalListener::~SignalListener() = default;

NextSignal SignalListener::next() { return NextSignal(*subscription_); }

bool NextSignal::poll(Context& cx) {
    detail::SignalHub& hub = detail::SignalHub::instance();
    if (auto watched = cx.runtime.reactor().add_shared(hub.fd(), &hub); !watched) {
        failure_ = watched.error();
        return true;
    }
    waiting_ = !hub.poll(subscription_, cx.waker);
    return !waiting_;
}

Result<void> NextSignal::take() {
    if (failure_) return *failure_;
    return {};
}

NextSignal::~NextSignal() {
    if (waiting_) detail::SignalHub::instance().forget_waker(subscription_);
}

}  // namespace drovik::rt
