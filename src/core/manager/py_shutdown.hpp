#pragma once

#include <Python.h>

namespace drovik::manager {

// block_all and block_until: park the calling thread until a shutdown signal
// (or a time limit), then stop every registered activity.
extern PyMethodDef block_all_function;
extern PyMethodDef block_until_function;

}  // namespace drovik::manager
