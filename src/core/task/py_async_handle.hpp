// The Python class AsyncHandle: the caller's view of one run_async job. wait()
// sleeps with the interpreter lock released, looking at signals every
// millisecond so that Ctrl+C ends it; the outcome is read under the slots' locks,
// which the job holds only for a store. Dropping a handle removes the task from
// the registry, with a warning if it still runs.
#pragma once

#include <Python.h>

#include <memory>

#include "core/manager/handle_slot.hpp"
#include "core/manager/task_registry.hpp"
#include "core/task/async_task.hpp"
#include "py/ref.hpp"

namespace drovik::task {

// The Python class AsyncHandle: not constructible, returned by a RunAsync call.
PyTypeObject* async_handle_type();

py::Ref make_async_handle(std::shared_ptr<AsyncOutcome> outcome, manager::SharedHandleSlot task_handle,
                          manager::TaskId task_id);

}  // namespace drovik::task
