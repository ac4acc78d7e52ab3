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
