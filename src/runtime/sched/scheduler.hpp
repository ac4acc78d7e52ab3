// The worker pool. Each worker serves a slot: a run queue and a parker. A task
// woken on a worker goes to that worker's queue, one woken elsewhere to the
// shared injection queue. A worker takes from its own queue, then the injection
// queue, then steals from the others, and parks when all are empty; queueing a
// task unparks one idle worker, preferably one not driving the reactor, so I/O
// and timers stay served. A task woken by a worker's own reactor turn unparks
// nobody: that worker runs it as the turn ends, and calls another only when the
// turn left it more than one. Every queue entry holds one task reference.
//
// Hand-off: a worker about to block gives its slot (queue and duty) to a spare
// thread, or to a new one, and finishes its task step without a slot; it then
// waits as a spare for the next hand-off, ending after 10 s unused. The number
// of threads serving slots never changes. A thread in a task step (a worker, a
// handed-off one, a job) may wait for the runtime but never start one. Each
// queue has its own mutex; the idle list and the spare list theirs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <optional>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/result.hpp"
#include "runtime/sched/parker.hpp"

namespace drovik::rt {

class Reactor;
class Runtime;
class TaskCore;
class ThreadGroup;

// The worker pool: one queue per worker plus a shared injection queue for
// threads outside the pool; idle workers steal, then park.
class Scheduler {
public:
    Scheduler(Runtime& runtime, Reactor& reactor, ThreadGroup& threads, std::size_t workers);
    ~Scheduler();

    Result<void> start();
    // Stops the workers after their current task; queued tasks are dropped.
    void shutdown();

    // Takes over one reference to the task.
    void schedule(TaskCore* task);

    // A worker about to block hands its slot (queue and duty) to a spare thread,
    // or to a fresh one when none waits; the calling thread leaves the slot once it
    // is back in the worker loop, and waits there as a spare for the next hand-off.
    Result<void> hand_off_current_worker();
    bool owns_current_thread() const noexcept;

    Runtime& runtime() noexcept { return runtime_; }
    std::size_t worker_count() const noexcept { return slots_.size(); }

private:
    struct Slot {
        explicit Slot(Reactor& reactor) : parker(reactor, Parker::Handover::Never) {}
        std::mutex mu;
        std::deque<TaskCore*> queue;
        Parker parker;
    };

    // A thread that handed its slot off and finished its task step: the next
    // hand-off gives it a slot rather than starting a thread.
    struct Spare {
        std::condition_variable assigned;
        std::optional<std::size_t> slot;  // guarded by spare_mu_
    };

    Result<void> start_worker(std::size_t slot);
    void worker_main(std::size_t slot);
    void serve_slot(std::size_t slot);
    bool give_slot_to_spare(std::size_t slot);
    std::optional<std::size_t> wait_as_spare();
    TaskCore* next_task(std::size_t slot);
    TaskCore* pop_front(std::mutex& mu, std::deque<TaskCore*>& queue);
    bool has_work();
    void park(std::size_t slot);
    void leave_idle(std::size_t slot);
    void notify_one();

    Runtime& runtime_;
    Reactor& reactor_;
    ThreadGroup& threads_;
    std::vector<std::unique_ptr<Slot>> slots_;

    std::mutex inject_mu_;
    std::deque<TaskCore*> injected_;

    std::mutex idle_mu_;
    std::vector<std::size_t> idle_;
    std::atomic<std::size_t> idle_count_{0};

    std::mutex spare_mu_;
    std::vector<Spare*> spares_;  // guarded by spare_mu_

    std::atomic<bool> stopping_{false};
};

// Whether the calling thread is a worker of any runtime.
bool on_worker_thread() noexcept;
// Whether the calling thread runs a task step: a worker, or one that handed its
// slot off and is still inside the step (a long call, a wait), or a job.
bool in_task_step() noexcept;

// Marks the calling thread as running a job for the scope: like a task step, it
// may wait for the runtime (wait_for) but not start one (block_on).
class JobStep {
public:
    JobStep() noexcept;
    ~JobStep();
    JobStep(const JobStep&) = delete;
    JobStep& operator=(const JobStep&) = delete;
};

}  // namespace drovik::rt
