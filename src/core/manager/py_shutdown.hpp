// block_all and block_until: how a program's main thread waits out its life. The
// call waits, interpreter lock released, for SIGINT or SIGTERM (or block_until's
// limit), stops every timer and task in the registry, waits for them within the
// time-out and reports the outcome on standard error. The interpreter's own
// handler for the signal is run and its KeyboardInterrupt dropped, so the
// program goes on past the call.
#pragma once

#include <Python.h>

namespace drovik::manager {

// block_all and block_until: park the calling thread until a shutdown signal
// (or a time limit), then stop every registered activity.
extern PyMethodDef block_all_function;
extern PyMethodDef block_until_function;

}  // namespace drovik::manager
