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
