// Threads for work that may block (a normal timer's call into Python), so that
// no worker ever does. A job goes to an idle thread, to a new one up to the
// limit, or waits in the queue for the next free thread; a thread idle for the
// idle limit ends. The runtime keeps two pools: one for blocking work (up to 512
// threads) and one of a few threads per worker for the jobs of run_async. All
// state is under one mutex; a job's `done` runs outside it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "runtime/result.hpp"

namespace drovik::rt {

class ThreadGroup;

// Elastic threads for jobs that block: a job is handed to an idle thread, or a
// new one up to the limit; a thread idle for the idle limit ends.
class BlockingPool {
public:
    BlockingPool(ThreadGroup& threads, std::size_t max_threads, std::chrono::milliseconds idle_limit);

    // Fails only when no thread exists and none can be started. `done` runs
    // after `work`, once the thread already counts as free again, so whoever
    // it wakes can reuse that thread for the next job.
    Result<void> submit(std::function<void()> work, std::function<void()> done);
    // A job about to wait for other jobs lends its thread's place: the pool may
    // start one more thread meanwhile, so that jobs waiting for jobs queued
    // behind them always get to run. The surplus ends once it is given back.
    void lend();
    void give_back();
    // Idle threads end now, busy ones after the queued jobs.
    void shutdown();
    std::size_t thread_count();

private:
    void thread_main();
    Result<void> start_thread_locked();

    ThreadGroup& threads_;
    const std::size_t max_threads_;
    const std::chrono::milliseconds idle_limit_;

    std::mutex mu_;
    std::condition_variable cv_;
    struct Job {
        std::function<void()> work;
        std::function<void()> done;
    };

    std::deque<Job> jobs_;
    std::size_t thread_count_ = 0;
    std::size_t available_ = 0;  // threads not inside a job's work
    std::size_t lent_ = 0;       // places lent by jobs that wait for other jobs
    bool stopping_ = false;
};

}  // namespace drovik::rt
