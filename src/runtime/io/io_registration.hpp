// Readiness of a non-blocking descriptor, edge-triggered. Each edge is reported
// once: on_events marks the direction ready, counts the event and wakes that
// side's waiter (errors and hang-ups wake both, so the next read or write reports
// them). Readiness then stays set. A reader that finds it set reads until the
// call answers EAGAIN and only then calls clear_read_ready(), which clears it
// unless an event has come since the readiness the reader acted on (the event
// count tells). So an edge landing between the read and the clear is kept, never
// lost, and a drained socket is not read again before its next edge.
//
// Write readiness is never cleared: after the first edge, writable() completes at
// once. Each direction keeps one waker, so one reader and one writer at a time.
// The descriptor's owner destroys the registration before closing it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "runtime/io/event_source.hpp"
#include "runtime/result.hpp"
#include "runtime/sched/context.hpp"
#include "runtime/sched/waker.hpp"

namespace drovik::rt {

class Reactor;
class Runtime;

namespace detail {

enum class Direction { Read, Write };

// Readiness of one descriptor as last reported by the edge-triggered reactor.
class IoState final : public EventSource {
public:
    void on_events(std::uint32_t events) override;

    // True when ready; otherwise the waker is kept for the next event.
    bool poll(Direction direction, const Waker& waker, std::uint64_t& seen_events);
    void forget_waker(Direction direction);
    // Clears readiness unless an event came after the one the caller saw.
    void clear(Direction direction, std::uint64_t seen_events);

    std::uint64_t events_seen();
    Waker take_waker(Direction direction);

    // The epoll events asked for, changed one direction at a time.
    std::mutex interest_mu;
    std::uint32_t interest = 0;  // guarded by interest_mu
    // clear(), and on success keeps `waker` for the next event; false (nothing
    // changed) when an event came after the one the caller saw.
    bool rearm(Direction direction, std::uint64_t seen_events, const Waker& waker);

private:
    std::mutex mu_;
    std::uint64_t events_seen_ = 0;
    bool readable_ = false;
    bool writable_ = false;
    Waker reader_;
    Waker writer_;
};

}  // namespace detail

class ReadinessWait;

// Registration of a non-blocking descriptor for read and write readiness,
// edge-triggered. The owner of the descriptor destroys this before closing it.
class IoRegistration {
public:
    static Result<IoRegistration> create(Runtime& runtime, int fd);

    IoRegistration(IoRegistration&& other) noexcept;
    IoRegistration& operator=(IoRegistration&& other) noexcept;
    ~IoRegistration();

    ReadinessWait readable();
    ReadinessWait writable();
    // After EAGAIN: the next readable() or writable() waits for a new edge.
    void clear_read_ready();
    void clear_write_ready();

    // For a reader that reads on its own thread while a task waits for
    // readability: take the task's waker out of the way, and later, after a
    // read that found nothing and began after `events_seen()` was taken, hand
    // it back to wait for the next edge. False: an edge came meanwhile.
    std::uint64_t events_seen();
    Waker take_reader();
    bool rearm_reader(std::uint64_t seen_events, const Waker& waker);

    // Write readiness is reported only while asked for: a socket that takes
    // every write would otherwise wake the reactor after each one. Read
    // readiness may be switched off while the reader waits on its own thread.
    Result<void> watch_writes(bool on);
    Result<void> watch_reads(bool on);

private:
    friend class ReadinessWait;
    IoRegistration(Reactor& reactor, int fd, std::shared_ptr<detail::IoState> state)
        : reactor_(&reactor), fd_(fd), state_(std::move(state)) {}
    void deregister();
    Result<void> watch(std::uint32_t events, bool on);

    Reactor* reactor_ = nullptr;
    int fd_ = -1;
    std::shared_ptr<detail::IoState> state_;
    std::uint64_t read_seen_ = 0;   // event count behind the last readable()
    std::uint64_t write_seen_ = 0;  // and behind the last writable()
};

// Completes when the descriptor is ready in one direction; an error value when
// the registration no longer exists.
class ReadinessWait {
public:
    ReadinessWait(IoRegistration& registration, detail::Direction direction)
        : registration_(registration), direction_(direction) {}
    ReadinessWait(ReadinessWait&&) = default;
    ~ReadinessWait();

    bool poll(Context& cx);
    Result<void> take();

private:
    IoRegistration& registration_;
    detail::Direction direction_;
    bool waiting_ = false;
};

}  // namespace drovik::rt
