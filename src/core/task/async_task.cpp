#include "core/task/async_task.hpp"

#include "py/error.hpp"
#include "py/gil.hpp"
#include "runtime/runtime.hpp"

namespace drovik::task {

namespace {

constexpr const char* kRefusedAtExit = "InternalFailure: the interpreter is exiting; the job was not run";

template <class T>
rt::Task<void> put_when_free(Slot<T>& slot, T value) {
    auto guard = co_await slot.lock.lock();
    slot.value = std::move(value);
}

// Stored without the interpreter lock: a reader holds a slot's lock only for a
// moment, with the interpreter lock held, so the writer must not hold that.
template <class T>
void put(Slot<T>& slot, T value) {
    if (auto guard = slot.lock.try_lock()) {
        slot.value = std::move(value);
        return;
    }
    (void)rt::wait_for(put_when_free(slot, std::move(value)));
}

struct CallOutcome {
    py::SharedRef value;
    std::optional<std::string> error;
};

// The one call into Python, with the interpreter lock held only here. The
// error text is made while it is held.
std::optional<CallOutcome> call_python(AsyncCall& call, py::Attached&) {
    // Looked at again once the lock is ours: a cancel() made while this job
    // waited for the lock (say, right after the call that started it) still
    // keeps the function from being called.
    if (call.outcome->cancelled.load() || !call.running->load()) return std::nullopt;
    CallOutcome outcome;
    PyObject* value = PyObject_Call(call.func.get(), call.args.get(), nullptr);
    if (value != nullptr) {
        outcome.value = py::SharedRef::adopt(py::Ref::steal(value));
    } else {
        py::Ref exc = py::fetch_error();
        outcome.error = exc ? py::describe_exception(exc.get()) : std::string("SystemError: error without exception");
    }
    // Done with them: let them go while the lock is held rather than defer it.
    call.func = py::SharedRef();
    call.args = py::SharedRef();
    return outcome;
}

// Refused by the exit gate: the objects stay untouched (the process is ending),
// and the handle tells the refusal from a call that returned None.
void refuse(AsyncCall& call) {
    new py::SharedRef(std::move(call.func));
    new py::SharedRef(std::move(call.args));
    put(call.outcome->error, std::string(kRefusedAtExit));
}

}  // namespace

void refuse_at_exit(AsyncCall& call) {
    refuse(call);
    call.outcome->mark_completed();
    call.running->exchange(false);
}

void run_call(AsyncCall& call) {
    AsyncOutcome& outcome = *call.outcome;
    if (!outcome.cancelled.load() && call.running->load()) {
        std::optional<CallOutcome> result;
        if (auto attached = py::Attached::attach()) {
            result = call_python(call, *attached);
        } else {
            refuse(call);
        }
        if (result && result->error) {
            put(outcome.error, std::move(*result->error));
        } else if (result) {
            put(outcome.result, std::move(result->value));
        }
    }
    outcome.mark_completed();
    call.running->exchange(false);
}

void AsyncOutcome::mark_completed() {
    completed.store(true);
    done_changed.notify_all();
}

void AsyncOutcome::mark_cancelled() {
    cancelled.store(true);
    done_changed.notify_all();
}

rt::EventCount::Woken AsyncOutcome::wait_done(rt::Deadline deadline) const noexcept {
    for (;;) {
        std::uint32_t seen = done_changed.epoch();  // before the test: a set after it ends the sleep
        if (done()) return rt::EventCount::Woken::Changed;
        auto woken = done_changed.wait(seen, deadline);
        if (woken != rt::EventCount::Woken::Changed) return woken;
    }
}

}  // namespace drovik::task
