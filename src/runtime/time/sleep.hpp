// Sleeping inside a task: the task's waker is listed with the timer driver and
// called at the first millisecond tick at or after the deadline.
#pragma once

#include <chrono>

#include "runtime/sched/context.hpp"
#include "runtime/time/timer_driver.hpp"

namespace drovik::rt {

// Completes at the first millisecond tick at or after its deadline.
class Sleep {
public:
    explicit Sleep(Clock::time_point deadline);
    Sleep(Sleep&& other) noexcept;
    ~Sleep();

    bool poll(Context& cx);
    void take() const noexcept {}

    Clock::time_point due() const noexcept { return entry_.due; }

private:
    TimerEntry entry_;
    TimerDriver* driver_ = nullptr;
};

Sleep sleep_until(Clock::time_point deadline);
Sleep sleep_for(Clock::duration duration);

}  // namespace drovik::rt
