// The records one run_async call shares between its job, its AsyncHandle and the
// registry: the outcome slots the job writes once and the handle reads, the
// completed and cancelled flags, and the function with its arguments, which the
// job lets go while it still holds the interpreter lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/manager/handle_slot.hpp"
#include "core/manager/task_registry.hpp"
#include "py/deferred.hpp"
#include "runtime/sync/async_mutex.hpp"
#include "runtime/sync/event_count.hpp"
#include "runtime/time/deadline.hpp"

namespace drovik::task {

// A slot behind an asynchronous mutex: written once by the task, read by the handle.
template <class T>
struct Slot {
    rt::AsyncMutex lock;
    std::optional<T> value;  // guarded by lock
};

struct AsyncOutcome {
    std::atomic<bool> completed{false};  // set by the task, once, after the outcome is stored
    std::atomic<bool> cancelled{false};  // set by cancel(); read by the task once, at its start
    Slot<py::SharedRef> result;          // the function's return value
    Slot<std::string> error;             // "Type: message" when the function raised

    // Moves whenever either flag is set, so a waiter sleeps until one is.
    rt::EventCount done_changed;

    void mark_completed();
    void mark_cancelled();
    bool done() const noexcept { return completed.load() || cancelled.load(); }
    // Sleeps until done, the deadline, or a signal handler runs on this thread.
    rt::EventCount::Woken wait_done(rt::Deadline deadline) const noexcept;
};

// What the background task holds besides the outcome.
struct AsyncCall {
    std::shared_ptr<AsyncOutcome> outcome;
    manager::RunningFlag running;
    py::SharedRef func;
    py::SharedRef args;  // a tuple
};

// The job: calls func(*args) on a job thread of the runtime, unless cancelled
// or stopped first. Refused by the exit gate, it stores the refusal as its error.
void run_call(AsyncCall& call);

// Ends a job the interpreter's exit keeps from running (started once the exit
// gate had closed): its error tells it from a call that returned None.
void refuse_at_exit(AsyncCall& call);

}  // namespace drovik::task
