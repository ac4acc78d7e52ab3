// The waker of a thread that polls a task itself (block_on, wait_for): a wake
// unparks it. While parked it may be the one driving the reactor.
#pragma once

#include "runtime/sched/parker.hpp"
#include "runtime/sched/waker.hpp"

namespace drovik::rt {

// The wake target of a thread blocked in block_on.
class ThreadWaiter final : public CountedWakeTarget {
public:
    explicit ThreadWaiter(Reactor& reactor) : parker_(reactor) {}
    void wake() override { parker_.unpark(); }
    void park() { parker_.park(); }

private:
    Parker parker_;
};

}  // namespace drovik::rt
