// The shared runtime as the Python faces use it: a failure of the runtime itself
// is an internal failure, and an operation's own error becomes the exception the
// Python API documents for it (OSError for the CAN calls).
#pragma once

#include <Python.h>

#include <utility>

#include "py/error.hpp"
#include "runtime/result.hpp"
#include "runtime/runtime.hpp"

namespace drovik::py {

// The process-wide runtime, created on first use.
rt::Runtime& shared_runtime();

// Blocks the calling thread (GIL kept) until the task ends.
template <class T>
T wait_for(rt::Task<T> task) {
    auto outcome = rt::wait_for(std::move(task));
    if (!outcome) internal_failure(outcome.error().text);
    if constexpr (!std::is_void_v<T>) return std::move(outcome).value();
}

// OSError whose only argument is the error's display text.
[[noreturn]] void raise_os_error(const rt::Error& error);

}  // namespace drovik::py
