// The asynchronous runtime: workers that run task steps, one reactor that a
// parked thread waits in for I/O, the millisecond timer and signal notices, a
// blocking pool, and job threads for the calls of run_async. The module uses one
// process-wide instance: made by its first caller, never destroyed, its threads
// never joined, and refused to every caller in a child forked after it started.
//
// Who may do what. A worker only runs task steps. One about to block for long (a
// wait, a call into Python) first leaves its duty, so the runtime always keeps
// its full count of workers and CAN traffic and timers never queue behind user
// code. A thread outside the runtime enters it through block_on or wait_for: it
// polls its task itself and, while the task waits, parks, perhaps as the
// reactor's driver. Blocking work goes to the pool and user jobs to the job
// threads; each wakes its awaiting task when done. Every thread of the runtime is
// named "drovik-rt" and counted by one thread group.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

#include "runtime/blocking/blocking_pool.hpp"
#include "runtime/io/reactor.hpp"
#include "runtime/realtime/worker_duty.hpp"
#include "runtime/result.hpp"
#include "runtime/sched/join_handle.hpp"
#include "runtime/sched/scheduler.hpp"
#include "runtime/sched/task.hpp"
#include "runtime/sched/task_core.hpp"
#include "runtime/sched/thread_group.hpp"
#include "runtime/sched/thread_waiter.hpp"

namespace drovik::rt {

// The CPUs the calling thread may run on; 0 when the system does not say.
std::size_t usable_cpus() noexcept;

struct RuntimeConfig {
    std::size_t workers = 1;
    std::size_t max_blocking_threads = 512;
    std::chrono::milliseconds blocking_idle_timeout{10'000};
    // Threads for jobs (the calls of run_async), a few per worker like any pool.
    std::size_t max_job_threads = 4;

    // One worker per CPU this process may run on.
    static RuntimeConfig for_this_process();
};

class Runtime {
public:
    static Result<std::unique_ptr<Runtime>> create(const RuntimeConfig& config);
    // Stops the threads; tasks still pending are dropped. The shared runtime never gets here.
    ~Runtime();

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    template <class T>
    JoinHandle<T> spawn(Task<T> task) {
        auto* core = new SpawnedTask<T>(*scheduler_, std::move(task));
        core->wake();
        return JoinHandle<T>(core);
    }

    // Runs the task on the calling thread, which must not be running a task step.
    template <class T>
    Result<T> block_on(Task<T> task) {
        if (in_task_step()) return Error{ErrorKind::Other, "cannot start a runtime from within a runtime"};
        return run_here(task);
    }

    // Like block_on, from any thread: a worker first gives its queue and duty away.
    template <class T>
    Result<T> wait_for(Task<T> task) {
        if (auto handed = leave_worker_duty(); !handed) return handed.error();
        return run_here(task);
    }

    // Queues a job that calls into Python on the job threads, which keep every
    // such call off the workers (CAN traffic and timers never wait for one) at
    // the cost of one hand-off, whatever the call's length. Jobs start in order.
    Result<void> spawn_job(std::function<void()> job);
    BlockingPool& job_pool() noexcept { return *jobs_; }

    // Before the calling thread blocks for long (waits, calls into Python): a
    // worker hands its queue and scheduling duty to a replacement thread, so the
    // runtime keeps its full number of workers; this thread ends once its current
    // task step is done. Does nothing on other threads.
    Result<void> leave_worker_duty() {
        if (!scheduler_->owns_current_thread()) return {};
        realtime::drop_to_ordinary_scheduling();
        return scheduler_->hand_off_current_worker();
    }

    Reactor& reactor() noexcept { return *reactor_; }
    BlockingPool& blocking_pool() noexcept { return *blocking_; }
    std::size_t worker_count() const noexcept { return scheduler_->worker_count(); }
    // Threads of this runtime still alive: workers, pool threads, handed-off workers.
    std::size_t live_threads() { return threads_.live(); }

private:
    Runtime(const RuntimeConfig& config, std::unique_ptr<Reactor> reactor);

    template <class T>
    Result<T> run_here(Task<T>& task);

    ThreadGroup threads_;
    std::unique_ptr<Reactor> reactor_;
    std::unique_ptr<BlockingPool> blocking_;
    std::unique_ptr<BlockingPool> jobs_;
    std::unique_ptr<Scheduler> scheduler_;
};

// Marks the calling thread as serving a runtime for as long as it lives.
class RuntimeScope {
public:
    explicit RuntimeScope(Runtime& runtime);
    ~RuntimeScope();
    RuntimeScope(const RuntimeScope&) = delete;
    RuntimeScope& operator=(const RuntimeScope&) = delete;

private:
    Runtime* outer_;
};

// Around a wait for other jobs: on a job thread, lends its place (BlockingPool::lend)
// for the scope; elsewhere does nothing.
class JobWait {
public:
    JobWait();
    ~JobWait();
    JobWait(const JobWait&) = delete;
    JobWait& operator=(const JobWait&) = delete;

private:
    BlockingPool* pool_;
};

// The runtime the calling thread serves (a worker, or a thread inside block_on), if any.
Runtime* current_runtime() noexcept;

// The process-wide runtime, created by the first caller; a failed creation stays failed.
// Unusable in a child forked after it started.
Result<Runtime*> runtime();

template <class T>
Result<T> Runtime::run_here(Task<T>& task) {
    auto* waiter = new ThreadWaiter(*reactor_);
    Waker waker = Waker::adopt(waiter);
    RuntimeScope scope(*this);
    Context cx{waker, *this};
    while (!task.poll(cx)) waiter->park();
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return Result<T>(task.take());
    }
}

// Spawns on the runtime the calling task runs on.
template <class T>
JoinHandle<T> spawn(Task<T> task) {
    return current_runtime()->spawn(std::move(task));
}

template <class T>
Result<T> block_on(Task<T> task) {
    auto rt = runtime();
    if (!rt) return rt.error();
    return rt.value()->block_on(std::move(task));
}

template <class T>
Result<T> wait_for(Task<T> task) {
    Runtime* rt = on_worker_thread() ? current_runtime() : nullptr;
    if (rt == nullptr) {
        auto shared = runtime();
        if (!shared) return shared.error();
        rt = shared.value();
    }
    return rt->wait_for(std::move(task));
}

}  // namespace drovik::rt
