// The reactor: one epoll instance per runtime, watching the registered sockets,
// the timer driver's timerfd, its own wake eventfd and, once a signal is awaited
// on this runtime, the signal hub's eventfd. It has no thread: the driver duty
// (one thread at a time) belongs to a parked thread, which blocks in turn() and
// runs each ready source's on_events. Handlers only record what happened and
// call wakers; no task step runs inside the dispatch. wake() ends the driver's
// wait when the driving thread itself must stop parking; release_driver() passes
// the duty to a listed candidate (parker.hpp).
//
// Sockets are registered edge-triggered (io_registration.hpp). A deregistered
// source is retired rather than freed until the next turn begins, since events
// already fetched may still point at it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/io/event_source.hpp"
#include "runtime/result.hpp"
#include "runtime/time/timer_driver.hpp"

namespace drovik::rt {

class Parker;

// One epoll instance. At most one parked thread at a time waits in it (the
// driver) and dispatches readiness, timer expiry and signal notices.
class Reactor {
public:
    static Result<std::unique_ptr<Reactor>> create();
    ~Reactor();

    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    bool try_acquire_driver() noexcept;
    // Gives the duty up; `hand_over`: to a thread parked elsewhere, so waiting
    // never stops being served. Without it the next thread to park takes it.
    void release_driver(bool hand_over);
    // One blocking wait and its dispatch; only the driver calls it.
    void turn();
    // Interrupts the driver's wait.
    void wake();

    Result<void> add(int fd, std::uint32_t events, EventSource* source);
    // New events for a registered descriptor; edge-triggered ones are looked at afresh.
    Result<void> modify(int fd, std::uint32_t events, EventSource* source);
    void remove(int fd);
    // Adds a descriptor shared between runtimes once; later calls do nothing.
    Result<void> add_shared(int fd, EventSource* source);
    // Keeps a deregistered source alive until no fetched event can still point at it.
    void retire(std::shared_ptr<EventSource> source);

    void add_driver_candidate(Parker* parker);
    void remove_driver_candidate(Parker* parker);

    TimerDriver& timers() noexcept { return *timers_; }

private:
    class WakeSource final : public EventSource {
    public:
        explicit WakeSource(int fd) : fd_(fd) {}
        void on_events(std::uint32_t events) override;

    private:
        int fd_;
    };

    Reactor(int epoll_fd, int wake_fd, std::unique_ptr<TimerDriver> timers);

    int epoll_fd_;
    int wake_fd_;
    WakeSource wake_source_;
    std::unique_ptr<TimerDriver> timers_;
    std::atomic<bool> driving_{false};

    std::mutex retired_mu_;
    std::vector<std::shared_ptr<EventSource>> retired_;

    std::mutex shared_mu_;
    std::vector<int> shared_fds_;

    std::mutex candidates_mu_;
    std::vector<Parker*> candidates_;
};

}  // namespace drovik::rt
