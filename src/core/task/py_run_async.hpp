// The Python class RunAsync and the function run_async that makes one. Each call
// of a RunAsync registers a new asynchronous task, queues func(*args) as a job
// for the runtime's job threads and returns its AsyncHandle at once. Once the
// interpreter has begun to exit, the job is refused instead and its handle
// reports the refusal as the job's error.
#pragma once

#include <Python.h>

namespace drovik::task {

// The Python class RunAsync and the module function run_async.
PyTypeObject* run_async_type();
extern PyMethodDef run_async_function;

}  // namespace drovik::task
