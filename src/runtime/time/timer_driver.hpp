// The timer driver: every pending sleep of one runtime, in deadline order,
// behind one timerfd armed for the earliest. The reactor's driver runs its
// on_events, which wakes every entry that is due and re-arms the timerfd for the
// next. Deadlines are whole milliseconds, rounded up, so nothing fires early and
// sleeps due in the same millisecond share one wake-up. Entries belong to their
// sleeps and are only listed here, under the driver's mutex; a sleep disarms its
// entry before it goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

#include "runtime/io/event_source.hpp"
#include "runtime/result.hpp"
#include "runtime/sched/waker.hpp"
#include "runtime/time/deadline.hpp"

namespace drovik::rt {

// Deadlines are whole milliseconds of the monotonic clock, rounded up, so nothing fires early.
Clock::time_point round_up_to_tick(Clock::time_point deadline);

// One pending wake-up; owned by the sleeping operation, listed by the driver.
struct TimerEntry {
    Clock::time_point due;
    std::uint64_t order = 0;
    Waker waker;
    bool listed = false;
};

// Timers in deadline order behind one timerfd armed for the earliest of them.
class TimerDriver final : public EventSource {
public:
    static Result<std::unique_ptr<TimerDriver>> create();
    ~TimerDriver();

    int fd() const noexcept { return fd_; }

    // Lists the entry, or refreshes its waker when it is listed already.
    void arm(TimerEntry& entry, const Waker& waker);
    void disarm(TimerEntry& entry);
    void on_events(std::uint32_t events) override;

private:
    struct Earlier {
        bool operator()(const TimerEntry* a, const TimerEntry* b) const noexcept {
            return a->due != b->due ? a->due < b->due : a->order < b->order;
        }
    };

    explicit TimerDriver(int fd) : fd_(fd) {}
    void program_locked();

    int fd_;
    std::mutex mu_;
    std::set<TimerEntry*, Earlier> entries_;
    std::uint64_t next_order_ = 0;
    Clock::time_point programmed_ = Clock::time_point::max();
};

}  // namespace drovik::rt
