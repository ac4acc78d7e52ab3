#include "runtime/time/timer_driver.hpp"

#include <errno.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <vector>

#include "runtime/os_error.hpp"

namespace drovik::rt {

Clock::time_point round_up_to_tick(Clock::time_point deadline) {
    return Clock::time_point(std::chrono::ceil<std::chrono::milliseconds>(deadline.time_since_epoch()));
}

Result<std::unique_ptr<TimerDriver>> TimerDriver::create() {
    // steady_clock is CLOCK_MONOTONIC on Linux, so deadlines need no conversion.
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd < 0) return os_error(errno);
    return std::unique_ptr<TimerDriver>(new TimerDriver(fd));
}

TimerDriver::~TimerDriver() { close(fd_); }

void TimerDriver::arm(TimerEntry& entry, const Waker& waker) {
    std::lock_guard lock(mu_);
    store_waker(entry.waker, waker);
    if (entry.listed) return;
    entry.order = next_order_++;
    entry.listed = true;
    entries_.insert(&entry);
    program_locked();
}

void TimerDriver::disarm(TimerEntry& entry) {
    std::lock_guard lock(mu_);
    if (!entry.listed) return;
    entries_.erase(&entry);
    entry.listed = false;
}

void TimerDriver::on_events(std::uint32_t) {
    std::uint64_t expirations;
    [[maybe_unused]] ssize_t got = read(fd_, &expirations, sizeof expirations);
    std::vector<Waker> due;
    {
        std::lock_guard lock(mu_);
        auto now = Clock::now();
        while (!entries_.empty() && (*entries_.begin())->due <= now) {
            TimerEntry* entry = *entries_.begin();
            entries_.erase(entries_.begin());
            entry->listed = false;
            due.push_back(std::move(entry->waker));
        }
        programmed_ = Clock::time_point::max();
        program_locked();
    }
    for (const Waker& waker : due) waker.wake();
}

void TimerDriver::program_locked() {
    if (entries_.empty()) return;
    Clock::time_point earliest = (*entries_.begin())->due;
    if (earliest >= programmed_) return;
    programmed_ = earliest;
    auto since_epoch = earliest.time_since_epoch();
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    itimerspec spec{};
    spec.it_value.tv_sec = secs.count();
    spec.it_value.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - secs).count();
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;  // zero would disarm
    timerfd_settime(fd_, TFD_TIMER_ABSTIME, &spec, nullptr);
}

}  // namespace drovik::rt
