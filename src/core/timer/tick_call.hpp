// The seam between a timer's loop and what it calls: the loops are plain C++ and
// know nothing of Python, the Python side (py_tick_call.hpp) attaches to the
// interpreter for each call. end() runs once, on the loop's own thread, so the
// function is given up where the interpreter lock can be taken.
#pragma once

#include <memory>

namespace drovik::timer {

// The timer's function as its loop sees it.
class TickCall {
public:
    virtual ~TickCall() = default;
    // One call. False when it can no longer be made (the interpreter is shutting
    // down): the timer then ends quietly.
    virtual bool call() = 0;
    // Gives the function up, on the thread that ends the timer, once.
    virtual void end() = 0;
};

using SharedTickCall = std::shared_ptr<TickCall>;

}  // namespace drovik::timer
