// The loop of a normal timer: a task on the shared runtime, ticking on the
// runtime's millisecond timer, each call made on the blocking pool.
#pragma once

#include "core/timer/tick_call.hpp"
#include "core/timer/timer_handle.hpp"
#include "runtime/sched/task.hpp"

namespace drovik::timer {

rt::Task<void> normal_loop(manager::RunningFlag running, TickCount tick_count, SharedTickTiming timing,
                           Clock::duration period, SharedTickCall call);

}  // namespace drovik::timer
