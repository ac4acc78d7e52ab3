// TaskManager, get_task_manager and shutdown_all: the Python view of the
// process-wide registry; every TaskManager shows the same one. Counts are read
// with the interpreter lock kept; the waits release it, and Ctrl+C ends them.
#pragma once

#include <Python.h>

namespace drovik::manager {

// The Python class TaskManager: a stateless view of the process-wide registry.
PyTypeObject* task_manager_type();

// The module functions get_task_manager and shutdown_all.
extern PyMethodDef get_task_manager_function;
extern PyMethodDef shutdown_all_function;

}  // namespace drovik::manager
