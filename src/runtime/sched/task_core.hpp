// The shared record of one spawned task. Its state is a set of bits: Scheduled
// while it sits in a run queue, Running while a worker polls it, Notified when it
// was woken during that poll (it goes back to a queue instead of going idle),
// Complete once its future has finished or been dropped, and AbortRequested,
// which ends it at its next run. A wake sets Scheduled or Notified only if it is
// not set already, so a task is never queued twice and further wakes do nothing.
//
// References: one for the join handle, one for the run queue while Scheduled
// (run() consumes it, or passes it on to the queue again), one for every waker a
// poll left behind. Whoever drops the last one deletes the record. The future
// goes earlier, in the run that completes or aborts it, so its frames'
// destructors withdraw their registrations on a worker, not on whichever thread
// drops the last reference. The outcome for the join handle has its own mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>

#include "runtime/sched/context.hpp"
#include "runtime/sched/task.hpp"
#include "runtime/sched/waker.hpp"

namespace drovik::rt {

class Scheduler;

// The shared record of one spawned task: its future, its scheduling state and its
// outcome for the join handle. Wakers, queue entries and the handle hold references.
class TaskCore : public WakeTarget {
public:
    void wake() override;
    void retain() noexcept override;
    void release() noexcept override;

    // Consumes the reference the queue held.
    void run();
    void abort();
    // Drops a task still queued when its runtime is destroyed; consumes the queue reference.
    void discard();

    bool poll_join(Context& cx);
    bool was_aborted();

protected:
    explicit TaskCore(Scheduler& scheduler) : scheduler_(scheduler) {}
    virtual ~TaskCore() = default;

    // True when the future completed and its output has been kept.
    virtual bool poll_future(Context& cx) = 0;
    virtual void drop_future() noexcept = 0;

private:
    void finish(bool aborted);
    void requeue_or_idle();

    Scheduler& scheduler_;
    std::atomic<unsigned> state_{0};
    std::atomic<std::size_t> refs_{1};
    std::mutex join_mu_;
    Waker join_waker_;
    bool finished_ = false;
    bool aborted_ = false;
};

template <class T>
class SpawnedTask final : public TaskCore {
public:
    SpawnedTask(Scheduler& scheduler, Task<T> task) : TaskCore(scheduler), task_(std::move(task)) {}

    // Valid once poll_join() reported completion without abort.
    unit_if_void<T> take_output() { return std::move(*output_); }

private:
    bool poll_future(Context& cx) override {
        if (!task_->poll(cx)) return false;
        output_.emplace(take_value(*task_));
        task_.reset();
        return true;
    }
    void drop_future() noexcept override { task_.reset(); }

    std::optional<Task<T>> task_;
    std::optional<unit_if_void<T>> output_;
};

}  // namespace drovik::rt
