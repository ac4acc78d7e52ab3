#include "core/timer/py_tick_call.hpp"

#include <memory>
#include <utility>

#include "core/timer/precision_thread.hpp"
#include "core/timer/switch_interval.hpp"
#include "diag/stderr_line.hpp"
#include "py/deferred.hpp"
#include "py/error.hpp"
#include "py/gil.hpp"
#include "py/ref.hpp"

namespace drovik::timer {

PythonTickCall::PythonTickCall(PyObject* func, PyObject* args)
    : func_(py::SharedRef::borrow(func)), args_(py::SharedRef::borrow(args)) {}

std::optional<CallTimes> PythonTickCall::call(Clock::time_point deadline) {
    auto attached = py::Attached::attach();
    if (!attached) return std::nullopt;
    CallTimes times;
    times.attached = Clock::now();
    spin_until(deadline);
    times.started = Clock::now();
    py::Ref result = py::Ref::steal(PyObject_Call(func_.get(), args_.get(), nullptr));
    times.ended = Clock::now();
    if (!result) {
        py::Ref error = py::fetch_error();
        diag::write_stderr_line("Timer function error: " + py::describe_exception(error.get()));
    }
    return times;
}

// The references go back while attached: a background thread cannot reliably
// tell on every supported interpreter whether it holds the GIL, so the drop is
// not left to whichever thread happens to release this object.
void PythonTickCall::end() {
    auto attached = py::Attached::attach();
    if (attached) {
        if (held_period_) drop_switch_interval(*std::exchange(held_period_, std::nullopt));
        func_ = py::SharedRef();
        args_ = py::SharedRef();
        return;
    }
    // The interpreter is going away: keep the objects rather than touch them.
    new py::SharedRef(std::move(func_));
    new py::SharedRef(std::move(args_));
}

void PythonTickCall::hold_switch_interval(std::chrono::nanoseconds period) {
    timer::hold_switch_interval(period);
    held_period_ = period;
}

int PythonTickCall::traverse(visitproc visit, void* arg) const {
    Py_VISIT(func_.get());
    Py_VISIT(args_.get());
    return 0;
}

std::shared_ptr<PythonTickCall> python_tick_call(PyObject* func, PyObject* args) {
    return std::make_shared<PythonTickCall>(func, args);
}

}  // namespace drovik::timer
