#pragma once

#include <Python.h>

namespace drovik::task {

// The Python class RunAsync and the module function run_async.
PyTypeObject* run_async_type();
extern PyMethodDef run_async_function;

}  // namespace drovik::task
