#include "core/manager/task_registry.hpp"

#include <mutex>

namespace drovik::manager {

namespace {

std::atomic<TaskId> task_id_counter{1};

}  // namespace

void TaskManager::register_task(TaskId id, RunningFlag running, SharedHandleSlot handle_slot, TaskKind kind) {
    TaskEntry entry{std::move(running), std::move(handle_slot), kind};  // takes a replaced one, released after the lock
    std::unique_lock guard(lock_);
    std::swap(tasks_[id], entry);
}

void TaskManager::unregister(TaskId id) {
    std::optional<TaskEntry> removed;  // released after the lock: declared before it
    {
        std::unique_lock guard(lock_);
        auto it = tasks_.find(id);
        if (it == tasks_.end()) return;
        removed.emplace(std::move(it->second));
        tasks_.erase(it);
    }
    // A running entry gone lowers the running count.
    if (removed->running->load()) running_count_changes().notify_all();
}

std::size_t TaskManager::count_running(std::optional<TaskKind> kind) const {
    std::shared_lock guard(lock_);
    std::size_t count = 0;
    for (const auto& [id, entry] : tasks_) {
        if (entry.running->load() && (!kind || entry.kind == *kind)) ++count;
    }
    return count;
}

std::size_t TaskManager::running_count() const { return count_running(std::nullopt); }
std::size_t TaskManager::timer_count() const { return count_running(TaskKind::Timer); }
std::size_t TaskManager::async_task_count() const { return count_running(TaskKind::AsyncTask); }

std::size_t TaskManager::total_count() const {
    std::shared_lock guard(lock_);
    return tasks_.size();
}

StatusSummary TaskManager::status_summary() const {
    std::shared_lock guard(lock_);
    StatusSummary summary;
    for (const auto& [id, entry] : tasks_) {
        if (!entry.running->load()) {
            ++summary.stopped;
        } else if (entry.kind == TaskKind::AsyncTask) {
            ++summary.running_tasks;
        } else {
            ++summary.running_timers;
        }
    }
    summary.total = tasks_.size();
    return summary;
}

void TaskManager::cleanup() {
    std::unordered_map<TaskId, TaskEntry> removed;  // released after the lock
    std::unique_lock guard(lock_);
    for (auto it = tasks_.begin(); it != tasks_.end();) {
        if (it->second.running->load()) {
            ++it;
        } else {
            auto next = std::next(it);
            removed.insert(tasks_.extract(it));
            it = next;
        }
    }
}

void TaskManager::stop_all() {
    // Before any entry: an activity registering meanwhile still sees the stop at its first check.
    shutdown_.store(true);
    {
        std::shared_lock guard(lock_);
        for (const auto& [id, entry] : tasks_) entry.running->store(false);
    }
    if (auto work = after_stop_.load()) work();
}

WaitEnd TaskManager::wait_all_or_signal(rt::Deadline deadline) const {
    rt::EventCount& changes = running_count_changes();
    for (;;) {
        std::uint32_t seen = changes.epoch();  // before the count: a change after it ends the sleep
        if (running_count() == 0) return WaitEnd::AllStopped;
        switch (changes.wait(seen, deadline)) {
            case rt::EventCount::Woken::Changed:
                break;
            case rt::EventCount::Woken::TimedOut:
                return WaitEnd::TimedOut;
            case rt::EventCount::Woken::Interrupted:
                return WaitEnd::Interrupted;
        }
    }
}

bool TaskManager::wait_all(rt::Deadline deadline) const {
    for (;;) {
        switch (wait_all_or_signal(deadline)) {
            case WaitEnd::AllStopped:
                return true;
            case WaitEnd::TimedOut:
                return false;
            case WaitEnd::Interrupted:
                break;
        }
    }
}

TaskManager& task_manager() {
    static TaskManager* manager = new TaskManager();
    return *manager;
}

TaskId next_task_id() noexcept { return task_id_counter.fetch_add(1); }

}  // namespace drovik::manager
