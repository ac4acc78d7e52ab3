#include "runtime/time/sleep.hpp"

#include "runtime/runtime.hpp"

namespace drovik::rt {

Sleep::Sleep(Deadline deadline) : never_(deadline.is_never()) {
    if (!never_) entry_.due = round_up_to_tick(deadline.instant());
}

// Only an unpolled sleep moves; a polled one is pointed at by the driver.
Sleep::Sleep(Sleep&& other) noexcept : never_(other.never_) { entry_.due = other.entry_.due; }

Sleep::~Sleep() {
    if (driver_ != nullptr) driver_->disarm(entry_);
}

bool Sleep::poll(Context& cx) {
    if (never_) return false;
    if (Clock::now() >= entry_.due) {
        if (driver_ != nullptr) driver_->disarm(entry_);
        return true;
    }
    driver_ = &cx.runtime.reactor().timers();
    driver_->arm(entry_, cx.waker);
    return false;
}

Sleep sleep_until(Deadline deadline) { return Sleep(deadline); }

Sleep sleep_for(Clock::duration duration) { return Sleep(Deadline::after(duration)); }

}  // namespace drovik::rt
