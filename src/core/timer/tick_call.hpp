// The seam between a timer's loop and what it calls: the loops are plain C++ and
// know nothing of Python, the Python side (py_tick_call.hpp) attaches to the
// interpreter for each call. end() runs once, on the loop's own thread, so the
// function is given up where the interpreter lock can be taken.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

namespace drovik::timer {

using Clock = std::chrono::steady_clock;

// When one call got what it needed to run, began and returned.
struct CallTimes {
    Clock::time_point attached;  // the interpreter lock was taken
    Clock::time_point started;
    Clock::time_point ended;
};

// The timer's function as its loop sees it.
class TickCall {
public:
    virtual ~TickCall() = default;
    // One call for this deadline: it may be asked before the deadline and then
    // begins the call no earlier than it. Empty when the call can no longer be
    // made (the interpreter is shutting down): the timer then ends quietly.
    virtual std::optional<CallTimes> call(Clock::time_point deadline) = 0;
    // Gives the function up, on the thread that ends the timer, once.
    virtual void end() = 0;
};

using SharedTickCall = std::shared_ptr<TickCall>;

}  // namespace drovik::timer
