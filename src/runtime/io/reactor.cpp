#include "runtime/io/reactor.hpp"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "runtime/os_error.hpp"
#include "runtime/sched/parker.hpp"

namespace drovik::rt {

Result<std::unique_ptr<Reactor>> Reactor::create() {
    int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0) return os_error(errno);
    int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) {
        int err = errno;
        close(epoll_fd);
        return os_error(err);
    }
    auto timers = TimerDriver::create();
    if (!timers) {
        close(wake_fd);
        close(epoll_fd);
        return timers.error();
    }
    std::unique_ptr<Reactor> reactor(new Reactor(epoll_fd, wake_fd, std::move(timers).value()));
    if (auto added = reactor->add(wake_fd, EPOLLIN, &reactor->wake_source_); !added) return added.error();
    if (auto added = reactor->add(reactor->timers_->fd(), EPOLLIN, reactor->timers_.get()); !added) {
        return added.error();
    }
    return reactor;
}

Reactor::Reactor(int epoll_fd, int wake_fd, std::unique_ptr<TimerDriver> timers)
    : epoll_fd_(epoll_fd), wake_fd_(wake_fd), wake_source_(wake_fd), timers_(std::move(timers)) {}

Reactor::~Reactor() {
    close(epoll_fd_);
    close(wake_fd_);
}

bool Reactor::try_acquire_driver() noexcept {
    return !driving_.exchange(true, std::memory_order_acquire);
}

void Reactor::release_driver(bool hand_over) {
    driving_.store(false, std::memory_order_release);
    if (!hand_over) return;
    std::lock_guard lock(candidates_mu_);
    if (!candidates_.empty()) candidates_.front()->unpark();
}

void Reactor::add_driver_candidate(Parker* parker) {
    std::lock_guard lock(candidates_mu_);
    candidates_.push_back(parker);
}

void Reactor::remove_driver_candidate(Parker* parker) {
    std::lock_guard lock(candidates_mu_);
    candidates_.erase(std::remove(candidates_.begin(), candidates_.end(), parker), candidates_.end());
}

void Reactor::turn() {
    {
        // Everything retired before this wait was removed from epoll already.
        std::vector<std::shared_ptr<EventSource>> retired;
        {
            std::lock_guard lock(retired_mu_);
            retired.swap(retired_);
        }
    }
    std::array<epoll_event, 64> events;
    int n = epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), -1);
    for (int i = 0; i < n; ++i) {
        static_cast<EventSource*>(events[i].data.ptr)->on_events(events[i].events);
    }
}

void Reactor::wake() {
    std::uint64_t one = 1;
    // A full counter already means a pending wake-up.
    [[maybe_unused]] ssize_t written = write(wake_fd_, &one, sizeof one);
}

void Reactor::WakeSource::on_events(std::uint32_t) {
    std::uint64_t count;
    [[maybe_unused]] ssize_t got = read(fd_, &count, sizeof count);
}

Result<void> Reactor::add(int fd, std::uint32_t events, EventSource* source) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = source;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) return os_error(errno);
    return {};
}

Result<void> Reactor::modify(int fd, std::uint32_t events, EventSource* source) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = source;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev) != 0) return os_error(errno);
    return {};
}

void Reactor::remove(int fd) { epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr); }

Result<void> Reactor::add_shared(int fd, EventSource* source) {
    std::lock_guard lock(shared_mu_);
    if (std::find(shared_fds_.begin(), shared_fds_.end(), fd) != shared_fds_.end()) return {};
    if (auto added = add(fd, EPOLLIN, source); !added) return added;
    shared_fds_.push_back(fd);
    return {};
}

void Reactor::retire(std::shared_ptr<EventSource> source) {
    std::lock_guard lock(retired_mu_);
    retired_.push_back(std::move(source));
}

}  // namespace drovik::rt
