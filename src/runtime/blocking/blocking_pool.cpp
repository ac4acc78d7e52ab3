#include "runtime/blocking/blocking_pool.hpp"

#include "runtime/sched/thread_group.hpp"

namespace drovik::rt {

BlockingPool::BlockingPool(ThreadGroup& threads, std::size_t max_threads, std::chrono::milliseconds idle_limit)
    : threads_(threads), max_threads_(max_threads), idle_limit_(idle_limit) {}

Result<void> BlockingPool::submit(std::function<void()> work, std::function<void()> done) {
    std::lock_guard lock(mu_);
    jobs_.push_back(Job{std::move(work), std::move(done)});
    if (jobs_.size() <= available_) {
        cv_.notify_one();
        return {};
    }
    if (thread_count_ >= max_threads_ + lent_) return {};  // the next free thread takes it
    auto started = start_thread_locked();
    if (started || thread_count_ > 0) return {};
    jobs_.pop_back();
    return started.error();
}

// Started under the lock: the new thread cannot take a job before we know the outcome.
Result<void> BlockingPool::start_thread_locked() {
    auto started = threads_.spawn([this] { thread_main(); });
    if (started) ++thread_count_;
    return started;
}

void BlockingPool::lend() {
    std::lock_guard lock(mu_);
    ++lent_;
    // Without a spare thread, this one would be the one the waited-for job needs.
    if (jobs_.size() > available_ && thread_count_ < max_threads_ + lent_) (void)start_thread_locked();
}

void BlockingPool::give_back() {
    std::lock_guard lock(mu_);
    --lent_;
}

void BlockingPool::thread_main() {
    std::unique_lock lock(mu_);
    ++available_;
    for (;;) {
        if (thread_count_ > max_threads_ + lent_) break;  // a lent place came back
        if (!jobs_.empty()) {
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            --available_;
            lock.unlock();
            job.work();
            lock.lock();
            ++available_;
            lock.unlock();
            // A job queued meanwhile is seen at the top of the loop, not lost.
            job.done();
            job = Job{};
            lock.lock();
            continue;
        }
        if (stopping_) break;
        bool has_work = cv_.wait_for(lock, idle_limit_, [this] { return !jobs_.empty() || stopping_; });
        if (!has_work) break;
    }
    --available_;
    --thread_count_;
}

void BlockingPool::shutdown() {
    std::lock_guard lock(mu_);
    stopping_ = true;
    cv_.notify_all();
}

std::size_t BlockingPool::thread_count() {
    std::lock_guard lock(mu_);
    return thread_count_;
}

}  // namespace drovik::rt
