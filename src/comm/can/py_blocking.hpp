// What the Python faces of the CAN devices share around calls that block the
// calling thread with the interpreter lock kept.
#pragma once

#include "runtime/result.hpp"

namespace drovik::comm::can {

// The KeepWaiting of a call from Python: runs pending signal handlers (they run
// only on the main thread); false when one raised, its exception then set.
bool no_signal_raised();

// Before the calling thread may block: a runtime worker (Python code inside a
// run_async job) hands its duty on, so the runtime keeps all its workers.
void prepare_to_block();

// OSError with the error's text, or the exception a signal handler raised.
[[noreturn]] void raise_can_error(const rt::Error& error);

}  // namespace drovik::comm::can
