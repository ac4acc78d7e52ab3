#include "core/task/py_async_handle.hpp"

#include <string>

#include "diag/stderr_line.hpp"
#include "py/gil.hpp"
#include "py/runtime_bridge.hpp"
#include "py/timeout_arg.hpp"
#include "py/type.hpp"
#include "runtime/runtime.hpp"

namespace drovik::task {

namespace {

using py::Ref;

class AsyncHandle {
public:
    AsyncHandle(std::shared_ptr<AsyncOutcome> outcome, manager::SharedHandleSlot task_handle, manager::TaskId id)
        : outcome_(std::move(outcome)), task_handle_(std::move(task_handle)), task_id_(id) {}
    AsyncHandle(AsyncHandle&&) noexcept = default;
    AsyncHandle& operator=(AsyncHandle&&) = delete;

    ~AsyncHandle() {
        if (!outcome_) return;  // moved from
        if (!done()) {
            diag::write_stderr_line("Warning: AsyncHandle(id=" + std::to_string(task_id_) +
                                    ") dropped while task still running. Consider calling handle.cancel() or "
                                    "handle.wait() before dropping.");
        }
        manager::task_manager().unregister(task_id_);
    }

    AsyncOutcome& outcome() const noexcept { return *outcome_; }
    manager::TaskId task_id() const noexcept { return task_id_; }
    bool done() const noexcept { return outcome_->done(); }

    // The result object is the only Python object the handle reaches; skip it
    // while the task is storing it.
    int traverse(visitproc visit, void* arg) {
        auto& slot = outcome_->result;
        if (auto guard = slot.lock.try_lock(); guard && slot.value) Py_VISIT(slot.value->get());
        return 0;
    }
    // Drops the result so that a cycle through an object the collector cannot
    // clear (a tuple holding this handle) still breaks here; released after the
    // lock, as that may run any finalizer.
    void clear() {
        std::optional<py::SharedRef> result;
        if (auto guard = outcome_->result.lock.try_lock()) result.swap(outcome_->result.value);
    }

private:
    std::shared_ptr<AsyncOutcome> outcome_;
    manager::SharedHandleSlot task_handle_;  // kept alive beside the registry entry
    manager::TaskId task_id_;
};

Ref result_object(const std::optional<py::SharedRef>& value) {
    return value ? Ref::borrow(value->get()) : py::none();
}

rt::Task<std::optional<std::string>> stored_error(AsyncOutcome& outcome) {
    auto guard = co_await outcome.error.lock.lock();
    co_return outcome.error.value;
}

// A new reference to the stored result, taken under the slot's lock; the
// caller holds the interpreter lock, so the count may change here.
rt::Task<Ref> stored_result(AsyncOutcome& outcome) {
    auto guard = co_await outcome.result.lock.lock();
    co_return result_object(outcome.result.value);
}

// The error raised as RuntimeError, or the result; neither wait nor poll. A
// slot is nearly always free: then it is read at once, else once the job has
// let it go.
Ref read_outcome(AsyncHandle& self) {
    AsyncOutcome& outcome = self.outcome();
    std::optional<std::string> error;
    if (auto guard = outcome.error.lock.try_lock()) {
        error = outcome.error.value;
    } else {
        error = py::wait_for(stored_error(outcome));
    }
    if (error) py::raise(PyExc_RuntimeError, *error);
    if (auto guard = outcome.result.lock.try_lock()) return result_object(outcome.result.value);
    return py::wait_for(stored_result(outcome));
}

constexpr py::Signature wait_sig = "wait($self, timeout_ms=None)";

Ref wait(AsyncHandle& self, PyObject* args, PyObject* kwargs) {
    auto deadline = rt::Deadline::after_ms(py::timeout_ms_argument<wait_sig>(args, kwargs));
    AsyncOutcome& outcome = self.outcome();
    // A job waiting for another one gives its job thread's place to the one waited for.
    std::optional<rt::JobWait> lending;
    while (!outcome.done()) {
        if (!lending) lending.emplace();
        rt::EventCount::Woken woken;
        {
            py::GilReleased released;
            woken = outcome.wait_done(deadline);
        }
        if (woken == rt::EventCount::Woken::TimedOut && !outcome.done()) {
            py::raise(PyExc_TimeoutError, "Async task wait timed out");
        }
        // Ctrl+C must still end a wait on a task that never finishes.
        if (PyErr_CheckSignals() < 0) throw py::ErrorAlreadySet{};
    }
    return read_outcome(self);
}

Ref try_result(AsyncHandle& self) { return read_outcome(self); }

Ref cancel(AsyncHandle& self) {
    self.outcome().mark_cancelled();
    return py::none();
}

Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref is_done(AsyncHandle& self) { return boolean(self.done()); }
Ref is_completed(AsyncHandle& self) { return boolean(self.outcome().completed.load()); }
Ref is_cancelled(AsyncHandle& self) { return boolean(self.outcome().cancelled.load()); }
Ref task_id(AsyncHandle& self) { return py::check(PyLong_FromUnsignedLongLong(self.task_id())); }

std::string repr(AsyncHandle& self) {
    const char* status = self.outcome().cancelled.load()   ? "cancelled"
                         : self.outcome().completed.load() ? "completed"
                                                           : "running";
    return "AsyncHandle(id=" + std::to_string(self.task_id()) + ", status=" + status + ")";
}

PyMethodDef methods[] = {
    py::method<&wait, wait_sig,
               "等待任务完成并获取结果（阻塞）\n\n"
               "Args:\n"
               "    timeout_ms: time-out in milliseconds, None to wait without limit\n\n"
               "Returns:\n"
               "    the function's return value\n\n"
               "Raises:\n"
               "    TimeoutError: the time-out passed first\n"
               "    RuntimeError: the function raised\n">(),
    py::method<&try_result, "try_result($self)",
               "获取任务结果（非阻塞）\n\n"
               "Returns:\n"
               "    the function's return value, or None while it is not there\n">(),
    py::method<&cancel, "cancel($self)",
               "取消任务\n\n"
               "注意：这只会标记任务为已取消，不会中断正在执行的代码\n">(),
    py::method<&is_done, "is_done($self)", "检查任务是否已完成\n">(),
    py::method<&is_completed, "is_completed($self)", "检查任务是否成功完成\n">(),
    py::method<&is_cancelled, "is_cancelled($self)", "检查任务是否被取消\n">(),
    {},
};

PyGetSetDef properties[] = {
    py::property<AsyncHandle, &task_id>("task_id", "获取任务 ID"),
    {},
};

}  // namespace

PyTypeObject* async_handle_type() {
    return py::class_type<AsyncHandle>({
        .name = "builtins.AsyncHandle",
        .doc = "异步任务句柄\n\n"
               "Returned by calling a run_async function: wait for the result, poll it, or mark the task cancelled.\n",
        .methods = methods,
        .properties = properties,
        .repr = &py::repr_slot<AsyncHandle, &repr>,
    });
}

Ref make_async_handle(std::shared_ptr<AsyncOutcome> outcome, manager::SharedHandleSlot task_handle,
                      manager::TaskId task_id) {
    return py::make_instance(async_handle_type(), AsyncHandle(std::move(outcome), std::move(task_handle), task_id));
}

}  // namespace drovik::task
