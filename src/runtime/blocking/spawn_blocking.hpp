// Awaiting blocking work from a task: the job goes to the blocking pool and the
// task is woken once it has returned. The job and its output live in a record
// shared with the pool thread, so a task aborted meanwhile neither cuts the job
// short nor leaves it writing into freed memory.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "runtime/blocking/blocking_pool.hpp"
#include "runtime/result.hpp"
#include "runtime/runtime.hpp"
#include "runtime/sched/context.hpp"

namespace drovik::rt {

// Runs a blocking job on the pool; completes when the job has returned. The job
// runs to its end even if the awaiting task is aborted meanwhile.
template <class F>
class SpawnBlocking {
    using R = std::invoke_result_t<F&>;

    struct Shared {
        std::mutex mu;
        bool done = false;
        std::optional<unit_if_void<R>> output;
        Waker waker;
    };

public:
    explicit SpawnBlocking(F job) : job_(std::make_shared<F>(std::move(job))) {}

    bool poll(Context& cx) {
        if (!shared_) {
            shared_ = std::make_shared<Shared>();
            auto submitted = cx.runtime.blocking_pool().submit(
                [shared = shared_, job = job_] {
                    auto output = run(*job);
                    std::lock_guard lock(shared->mu);
                    shared->output.emplace(std::move(output));
                },
                [shared = shared_] {
                    Waker waker;
                    {
                        std::lock_guard lock(shared->mu);
                        shared->done = true;
                        waker = std::move(shared->waker);
                    }
                    waker.wake();
                });
            if (!submitted) {
                failure_ = submitted.error();
                return true;
            }
        }
        std::lock_guard lock(shared_->mu);
        if (shared_->done) return true;
        store_waker(shared_->waker, cx.waker);
        return false;
    }

    Result<R> take() {
        if (failure_) return *failure_;
        if constexpr (std::is_void_v<R>) {
            return {};
        } else {
            return Result<R>(std::move(*shared_->output));
        }
    }

private:
    static unit_if_void<R> run(F& job) {
        if constexpr (std::is_void_v<R>) {
            job();
            return {};
        } else {
            return job();
        }
    }

    std::shared_ptr<F> job_;
    std::shared_ptr<Shared> shared_;
    std::optional<Error> failure_;
};

template <class F>
SpawnBlocking<std::decay_t<F>> spawn_blocking(F&& job) {
    return SpawnBlocking<std::decay_t<F>>(std::forward<F>(job));
}

}  // namespace drovik::rt
