#include "runtime/time/sleep.hpp"

#include "runtime/runtime.hpp"

namespace drovik::rt {

Sleep::Sleep(Clock::time_point deadline) { entry_.due = round_up_to_tick(deadline); }

// Only an unpolled sleep moves; a polled one is pointed at by the driver.
Sleep::Sleep(Sleep&& other) noexcept { entry_.due = other.entry_.due; }

Sleep::~Sleep() {
    if (driver_ != nullptr) driver_->disarm(entry_);
}

bool Sleep::poll(Context& cx) {
    if (Clock::now() >= entry_.due) {
        if (driver_ != nullptr) driver_->disarm(entry_);
        return true;
    }
    driver_ = &cx.runtime.reactor().timers();
    driver_->arm(entry_, cx.waker);
    return false;
}

Sleep sleep_until(Clock::time_point deadline) { return Sleep(deadline); }

Sleep sleep_for(Clock::duration duration) {
    auto now = Clock::now();
    // A duration past the clock's range means "never".
    if (duration > Clock::time_point::max() - now) return Sleep(Clock::time_point::max() - std::chrono::seconds(1));
    return Sleep(now + duration);
}

}  // namespace drovik::rt
