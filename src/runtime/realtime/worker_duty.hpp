// The runtime's threads on worker duty (they carry the CAN sockets, motor
// feedback and timer wake-ups) and the real-time priority they run at once the
// opt-in is on. A thread leaving the duty for a user's job drops back, so user
// code never runs raised.
#pragma once

#include "runtime/result.hpp"

namespace drovik::rt::realtime {

// A thread taking up worker duty: listed, and raised when worker priority is on.
void enter_worker_duty() noexcept;

// A worker leaving its duty to run a user's job (or wait for one): unlisted and
// back to ordinary scheduling.
void drop_to_ordinary_scheduling() noexcept;

// From now on every thread on worker duty runs under SCHED_FIFO at `priority`;
// those on duty now are raised at once. On a refusal none stays raised, none
// will be, and the error says why.
Result<void> raise_workers(int priority);

}  // namespace drovik::rt::realtime
