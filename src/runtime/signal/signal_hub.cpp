#include "runtime/signal/signal_hub.hpp"

#include <errno.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "runtime/os_error.hpp"

namespace drovik::rt::detail {

namespace {

// Touched by the handler, so plain globals and lock-free atomics only.
std::atomic<std::uint64_t> deliveries[NSIG];
struct sigaction previous[NSIG];
std::atomic<int> notify_fd{-1};

void on_signal(int signo, siginfo_t* info, void* ucontext) {
    int saved_errno = errno;
    const struct sigaction& before = previous[signo];
    if ((before.sa_flags & SA_SIGINFO) != 0) {
        if (before.sa_sigaction != nullptr) before.sa_sigaction(signo, info, ucontext);
    } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN && before.sa_handler != nullptr) {
        before.sa_handler(signo);
    }
    deliveries[signo].fetch_add(1, std::memory_order_relaxed);
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(notify_fd.load(std::memory_order_relaxed), &one, sizeof one);
    errno = saved_errno;
}

}  // namespace

SignalHub& SignalHub::instance() {
    // Handlers stay installed for the life of the process, so the hub does too.
    static SignalHub* hub = new SignalHub();
    return *hub;
}

SignalHub::SignalHub() : installed_(NSIG, false) {
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) fd_error_ = errno;
    notify_fd.store(fd_, std::memory_order_relaxed);
}

Result<void> SignalHub::install(int signo) {
    if (fd_ < 0) return os_error(fd_error_);
    if (signo <= 0 || signo >= NSIG) return os_error(EINVAL, ErrorKind::InvalidInput);
    std::lock_guard lock(mu_);
    if (installed_[signo]) return {};
    struct sigaction before {};
    if (sigaction(signo, nullptr, &before) != 0) return os_error(errno);
    struct sigaction action {};
    action.sa_sigaction = &on_signal;
    // Interrupt blocking calls exactly when the handler we chain to would: the
    // interpreter's own SIGINT handler relies on it to stop a sleep with
    // KeyboardInterrupt; a signal nobody else handled restarts them.
    bool chained = before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN;
    action.sa_flags = SA_SIGINFO | (chained ? (before.sa_flags & SA_RESTART) : SA_RESTART);
    sigemptyset(&action.sa_mask);
    if (sigaction(signo, &action, &previous[signo]) != 0) return os_error(errno);
    installed_[signo] = true;
    return {};
}

void SignalHub::subscribe(SignalSubscription& subscription) {
    std::lock_guard lock(mu_);
    subscription.seen = deliveries[subscription.signo].load(std::memory_order_relaxed);
    subscriptions_.push_back(&subscription);
}

void SignalHub::unsubscribe(SignalSubscription& subscription) {
    std::lock_guard lock(mu_);
    subscriptions_.erase(std::remove(subscriptions_.begin(), subscriptions_.end(), &subscription),
                         subscriptions_.end());
    subscription.waker = Waker();
}

bool SignalHub::poll(SignalSubscription& subscription, const Waker& waker) {
    std::lock_guard lock(mu_);
    if (subscription.pending) {
        subscription.pending = false;
        return true;
    }
    store_waker(subscription.waker, waker);
    return false;
}

void SignalHub::forget_waker(SignalSubscription& subscription) {
    std::lock_guard lock(mu_);
    subscription.waker = Waker();
}

void SignalHub::on_events(std::uint32_t) {
    std::uint64_t count;
    [[maybe_unused]] ssize_t got = read(fd_, &count, sizeof count);
    std::vector<Waker> to_wake;
    {
        std::lock_guard lock(mu_);
        for (SignalSubscription* subscription : subscriptions_) {
            std::uint64_t now = deliveries[subscription->signo].load(std::memory_order_relaxed);
            if (now == subscription->seen) continue;
            subscription->seen = now;
            subscription->pending = true;
            if (subscription->waker) to_wake.push_back(std::move(subscription->waker));
        }
    }
    for (const Waker& waker : to_wake) waker.wake();
}

}  // namespace drovik::rt::detail
