// The timer's Python function as a tick: a background thread attaches, calls
// it, and reports what it raised on standard error.
#pragma once

#include <Python.h>

#include <chrono>
#include <memory>
#include <optional>

#include "core/timer/tick_call.hpp"
#include "py/deferred.hpp"

namespace drovik::timer {

class PythonTickCall final : public TickCall {
public:
    PythonTickCall(PyObject* func, PyObject* args);

    // Attaches, then spins holding the GIL until the deadline when it got there early.
    std::optional<CallTimes> call(Clock::time_point deadline) override;
    void end() override;

    // Keeps the interpreter's switch interval low for a precision timer of this
    // period until end(). The caller holds the GIL and has started the thread.
    void hold_switch_interval(std::chrono::nanoseconds period);

    // The timer's handle visits these for the collector, so that a cycle from the
    // function or an argument back to the handle is found. The caller holds the GIL.
    int traverse(visitproc visit, void* arg) const;

private:
    py::SharedRef func_;
    py::SharedRef args_;
    std::optional<std::chrono::nanoseconds> held_period_;  // guarded by the GIL
};

// The caller holds the GIL; the call keeps its own references to both objects.
std::shared_ptr<PythonTickCall> python_tick_call(PyObject* func, PyObject* args);

}  // namespace drovik::timer
