// Real-time scheduling of one thread of this process, by its thread id.
#pragma once

#include <sys/types.h>

#include <string>

#include "runtime/result.hpp"

namespace drovik::rt::realtime {

pid_t this_thread_id() noexcept;

// SCHED_FIFO at `priority` (1-99). Threads the raised one starts begin with
// ordinary scheduling (reset-on-fork), so a Python thread started from a timer
// callback or a pool thread started by a worker is never raised by inheritance.
Result<void> raise_thread(pid_t tid, int priority);

// Back to SCHED_OTHER. Lowering is always permitted.
void drop_thread(pid_t tid) noexcept;

// Why a raise to `priority` may have been refused, for the warning line:
// "needs CAP_SYS_NICE or an RLIMIT_RTPRIO of at least N (ulimit -r here: M)".
std::string priority_permission_hint(int priority);

}  // namespace drovik::rt::realtime
