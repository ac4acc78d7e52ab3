#include "core/task/async_task.hpp"

#include "py/error.hpp"
#include "py/gil.hpp"
#include "runtime/runtime.hpp"

namespace drovik::task {

namespace {

struct CallOutcome {
    py::SharedRef value;
    std::optional<std::string> error;
};

// The one call into Python, with the interpreter lock held only here. The
// error text is made before any slot is locked: a reader waits for a slot with
// the interpreter lock held, so a writer must never need it while holding one.
std::optional<CallOutcome> call_python(AsyncCall& call) {
    auto attached = py::Attached::attach();
    if (!attached) return std::nullopt;  // the interpreter is exiting: end quietly
    // Looked at again once the lock is ours: a cancel() made while this task
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

}  // namespace

rt::Task<void> run_call(AsyncCall call) {
    AsyncOutcome& outcome = *call.outcome;
    if (!outcome.cancelled.load() && call.running->load()) {
        // The call may take as long as it likes: the runtime keeps all its workers
        // meanwhile, so CAN traffic and timers never wait for a user's job. If no
        // replacement thread can be had, the call still runs, on this worker.
        (void)rt::current_runtime()->leave_worker_duty();
        if (auto result = call_python(call)) {
            if (result->error) {
                auto guard = co_await outcome.error.lock.lock();
                outcome.error.value = std::move(result->error);
            } else {
                auto guard = co_await outcome.result.lock.lock();
                outcome.result.value = std::move(result->value);
            }
        }
    }
    outcome.mark_completed();
    call.running->exchange(false);
}

namespace {

void set_and_notify(std::atomic<bool>& flag, std::mutex& lock, std::condition_variable& changed) {
    {
        std::lock_guard guard(lock);  // a waiter between its check and its sleep must not miss this
        flag.exchange(true);
    }
    changed.notify_all();
}

}  // namespace

void AsyncOutcome::mark_completed() { set_and_notify(completed, done_lock, done_changed); }

void AsyncOutcome::mark_cancelled() { set_and_notify(cancelled, done_lock, done_changed); }

void AsyncOutcome::wait_done(std::chrono::nanoseconds limit) {
    std::unique_lock guard(done_lock);
    done_changed.wait_for(guard, limit, [this] { return done(); });
}

}  // namespace drovik::task
