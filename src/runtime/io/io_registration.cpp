#include "runtime/io/io_registration.hpp"

#include <sys/epoll.h>

#include <utility>

#include "runtime/io/reactor.hpp"
#include "runtime/runtime.hpp"

namespace drovik::rt {

namespace detail {

void IoState::on_events(std::uint32_t events) {
    Waker reader;
    Waker writer;
    {
        std::lock_guard lock(mu_);
        ++events_seen_;
        // Errors and hang-ups wake both sides: the next read or write reports them.
        if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
            readable_ = true;
            reader = std::move(reader_);
        }
        if ((events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) {
            writable_ = true;
            writer = std::move(writer_);
        }
    }
    reader.wake();
    writer.wake();
}

bool IoState::poll(Direction direction, const Waker& waker, std::uint64_t& seen_events) {
    std::lock_guard lock(mu_);
    bool ready = direction == Direction::Read ? readable_ : writable_;
    if (ready) {
        seen_events = events_seen_;
        return true;
    }
    store_waker(direction == Direction::Read ? reader_ : writer_, waker);
    return false;
}

void IoState::forget_waker(Direction direction) {
    std::lock_guard lock(mu_);
    (direction == Direction::Read ? reader_ : writer_) = Waker();
}

void IoState::clear(Direction direction, std::uint64_t seen_events) {
    std::lock_guard lock(mu_);
    if (events_seen_ != seen_events) return;
    (direction == Direction::Read ? readable_ : writable_) = false;
}

std::uint64_t IoState::events_seen() {
    std::lock_guard lock(mu_);
    return events_seen_;
}

Waker IoState::take_waker(Direction direction) {
    std::lock_guard lock(mu_);
    return std::move(direction == Direction::Read ? reader_ : writer_);
}

bool IoState::rearm(Direction direction, std::uint64_t seen_events, const Waker& waker) {
    std::lock_guard lock(mu_);
    if (events_seen_ != seen_events) return false;
    (direction == Direction::Read ? readable_ : writable_) = false;
    store_waker(direction == Direction::Read ? reader_ : writer_, waker);
    return true;
}

}  // namespace detail

namespace {

constexpr std::uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP;

}  // namespace

Result<IoRegistration> IoRegistration::create(Runtime& runtime, int fd) {
    auto state = std::make_shared<detail::IoState>();
    Reactor& reactor = runtime.reactor();
    state->interest = kReadEvents;
    if (auto added = reactor.add(fd, kReadEvents | EPOLLET, state.get()); !added) {
        return added.error();
    }
    return IoRegistration(reactor, fd, std::move(state));
}

IoRegistration::IoRegistration(IoRegistration&& other) noexcept
    : reactor_(std::exchange(other.reactor_, nullptr)),
      fd_(std::exchange(other.fd_, -1)),
      state_(std::move(other.state_)),
      read_seen_(other.read_seen_),
      write_seen_(other.write_seen_) {}

IoRegistration& IoRegistration::operator=(IoRegistration&& other) noexcept {
    if (this != &other) {
        deregister();
        reactor_ = std::exchange(other.reactor_, nullptr);
        fd_ = std::exchange(other.fd_, -1);
        state_ = std::move(other.state_);
        read_seen_ = other.read_seen_;
        write_seen_ = other.write_seen_;
    }
    return *this;
}

IoRegistration::~IoRegistration() { deregister(); }

void IoRegistration::deregister() {
    if (reactor_ == nullptr) return;
    reactor_->remove(fd_);
    reactor_->retire(std::move(state_));
    reactor_ = nullptr;
    fd_ = -1;
}

std::uint64_t IoRegistration::events_seen() { return state_ ? state_->events_seen() : 0; }

Waker IoRegistration::take_reader() { return state_ ? state_->take_waker(detail::Direction::Read) : Waker(); }

bool IoRegistration::rearm_reader(std::uint64_t seen_events, const Waker& waker) {
    return state_ && state_->rearm(detail::Direction::Read, seen_events, waker);
}

Result<void> IoRegistration::watch(std::uint32_t events, bool on) {
    if (reactor_ == nullptr) return Error{ErrorKind::Other, "the descriptor is not registered"};
    std::lock_guard lock(state_->interest_mu);
    std::uint32_t wanted = on ? (state_->interest | events) : (state_->interest & ~events);
    if (wanted == state_->interest) return {};
    if (auto changed = reactor_->modify(fd_, wanted | EPOLLET, state_.get()); !changed) return changed;
    state_->interest = wanted;
    return {};
}

Result<void> IoRegistration::watch_writes(bool on) { return watch(EPOLLOUT, on); }
Result<void> IoRegistration::watch_reads(bool on) { return watch(EPOLLIN | EPOLLRDHUP, on); }

ReadinessWait IoRegistration::readable() { return ReadinessWait(*this, detail::Direction::Read); }
ReadinessWait IoRegistration::writable() { return ReadinessWait(*this, detail::Direction::Write); }

void IoRegistration::clear_read_ready() {
    if (state_) state_->clear(detail::Direction::Read, read_seen_);
}

void IoRegistration::clear_write_ready() {
    if (state_) state_->clear(detail::Direction::Write, write_seen_);
}

bool ReadinessWait::poll(Context& cx) {
    auto& state = registration_.state_;
    if (!state) return true;
    std::uint64_t seen = 0;
    waiting_ = !state->poll(direction_, cx.waker, seen);
    if (!waiting_) (direction_ == detail::Direction::Read ? registration_.read_seen_ : registration_.write_seen_) = seen;
    return !waiting_;
}

Result<void> ReadinessWait::take() {
    if (!registration_.state_) return Error{ErrorKind::Other, "the descriptor is not registered"};
    return {};
}

ReadinessWait::~ReadinessWait() {
    if (waiting_ && registration_.state_) registration_.state_->forget_waker(direction_);
}

}  // namespace drovik::rt
