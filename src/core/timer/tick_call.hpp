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
