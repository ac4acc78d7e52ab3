// The spawner's reference to a spawned task. Awaiting it gives the task's output,
// or an Aborted error after abort(); dropping it only detaches the task, which
// runs on and frees itself with its last reference.
#pragma once

#include <utility>

#include "runtime/result.hpp"
#include "runtime/sched/task_core.hpp"

namespace drovik::rt {

// Awaitable outcome of a spawned task. Dropping it detaches the task.
template <class T>
class [[nodiscard]] JoinHandle {
public:
    // Adopts one reference to the task.
    explicit JoinHandle(SpawnedTask<T>* task) : task_(task) {}
    JoinHandle(JoinHandle&& other) noexcept : task_(std::exchange(other.task_, nullptr)) {}
    JoinHandle& operator=(JoinHandle&& other) noexcept {
        std::swap(task_, other.task_);
        return *this;
    }
    ~JoinHandle() {
        if (task_ != nullptr) task_->release();
    }

    // The task stops at its next suspension point; its frames are destroyed there.
    void abort() { task_->abort(); }

    bool poll(Context& cx) { return task_->poll_join(cx); }
    Result<T> take() {
        if (task_->was_aborted()) return Error{ErrorKind::Aborted, "task was aborted"};
        if constexpr (std::is_void_v<T>) {
            return {};
        } else {
            return task_->take_output();
        }
    }

private:
    SpawnedTask<T>* task_;
};

}  // namespace drovik::rt
