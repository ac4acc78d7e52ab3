// After a stop frame, a group holds back the broadcasts that come from drovik's
// own timer and job threads until the program acts again: it sets a target, or
// broadcasts from one of its own threads. So a call still under way when the
// program stopped never puts an older target on the wire after the stop frame.
// The program's own threads are never held back.
#pragma once

#include <atomic>
#include <cstdint>

namespace drovik::motor {

// Who asks: a thread of the program, or a drovik thread running a timer's or a job's call.
enum class Caller : std::uint8_t { Program, Worker };

class StopHold {
public:
    // By the stop, and read by broadcasts, under the group's broadcast lock.
    void set() noexcept { on_.store(true, std::memory_order_relaxed); }
    bool holds_back(Caller caller) const noexcept {
        return caller == Caller::Worker && on_.load(std::memory_order_relaxed);
    }
    // Without the lock: costs a store only when a hold is on.
    void lift() noexcept {
        if (on_.load(std::memory_order_relaxed)) on_.store(false, std::memory_order_relaxed);
    }

private:
    std::atomic<bool> on_{false};
};

}  // namespace drovik::motor
