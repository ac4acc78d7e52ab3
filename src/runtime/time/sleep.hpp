// Sleeping inside a task: the task's waker is listed with the timer driver and
// called at the first millisecond tick at or after the deadline.
#pragma once

#include "runtime/sched/context.hpp"
#include "runtime/time/deadline.hpp"
#include "runtime/time/timer_driver.hpp"

namespace drovik::rt {

// Completes at the first millisecond tick at or after its deadline; a sleep
// until never stays pending without troubling the driver.
class Sleep {
public:
    explicit Sleep(Deadline deadline);
    Sleep(Sleep&& other) noexcept;
    ~Sleep();

    bool poll(Context& cx);
    void take() const noexcept {}

    // The tick it completes at; Clock::time_point::max() for never.
    Clock::time_point due() const noexcept { return never_ ? Clock::time_point::max() : entry_.due; }

private:
    TimerEntry entry_;
    TimerDriver* driver_ = nullptr;
    bool never_;
};

Sleep sleep_until(Deadline deadline);
Sleep sleep_for(Clock::duration duration);

}  // namespace drovik::rt
