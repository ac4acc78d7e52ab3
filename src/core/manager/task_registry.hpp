// The process-wide registry of running timers and asynchronous tasks. It owns no
// work: it shares each activity's running flag, so it can count, stop and wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <unordered_map>

#include "core/manager/handle_slot.hpp"
#include "core/manager/running_flag.hpp"
#include "runtime/time/deadline.hpp"

namespace drovik::manager {

using TaskId = std::uint64_t;

enum class TaskKind : std::uint8_t { Timer = 0, AsyncTask = 1 };

struct TaskEntry {
    RunningFlag running;
    SharedHandleSlot handle_slot;  // kept alive only; never read here
    TaskKind kind;
};

struct StatusSummary {
    std::size_t running_timers = 0;
    std::size_t running_tasks = 0;
    std::size_t stopped = 0;
    std::size_t total = 0;

    bool operator==(const StatusSummary&) const = default;
};

enum class WaitEnd { AllStopped, TimedOut, Interrupted };

class TaskManager {
public:
    void register_task(TaskId id, RunningFlag running, SharedHandleSlot handle_slot, TaskKind kind);
    void unregister(TaskId id);

    std::size_t running_count() const;
    std::size_t timer_count() const;
    std::size_t async_task_count() const;
    std::size_t total_count() const;
    StatusSummary status_summary() const;

    // Removes every entry whose flag is clear.
    void cleanup();
    // Raises the shutdown flag first, then clears every running flag, then runs
    // the after-stop work, if any; waits for nothing else.
    void stop_all();
    // Work that must follow every stop-all once the activities were told to stop
    // (the motors' safe stop); it takes no lock of the registry. Set once.
    void set_after_stop(void (*work)() noexcept) noexcept { after_stop_.store(work); }
    // True once no entry runs, false when the deadline passed first. Sleeps
    // until a flag clears or an entry goes, holding no lock; signals do not end it.
    bool wait_all(rt::Deadline deadline) const;
    // The same, but a signal handler that runs on this thread meanwhile ends the
    // wait with Interrupted, so the caller can run the interpreter's handlers.
    WaitEnd wait_all_or_signal(rt::Deadline deadline) const;

    bool shutdown_flag() const noexcept { return shutdown_.load(); }

private:
    std::size_t count_running(std::optional<TaskKind> kind) const;

    mutable std::shared_mutex lock_;
    std::unordered_map<TaskId, TaskEntry> tasks_;
    std::atomic<bool> shutdown_{false};
    std::atomic<void (*)() noexcept> after_stop_{nullptr};
};

// TASK_MANAGER: created on first use, never destroyed (timer threads may still
// read it while the process exits).
TaskManager& task_manager();

// TASK_ID_COUNTER: 1, 2, 3, ... shared by every kind of activity, never reused.
TaskId next_task_id() noexcept;

}  // namespace drovik::manager
