#include "core/manager/task_registry.hpp"

#include <chrono>
#include <mutex>
#include <thread>

namespace drovik::manager {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);

std::atomic<TaskId> task_id_counter{1};

}  // namespace

void TaskManager::register_task(TaskId id, RunningFlag running, SharedHandleSlot handle_slot, TaskKind kind) {
    TaskEntry entry{std::move(running), std::move(handle_slot), kind};  // takes a replaced one, released after the lock
    std::unique_lock guard(lock_);
    std::swap(tasks_[id], entry);
}

void TaskManager::unregister(TaskId id) {
    std::optional<TaskEntry> removed;  // released after the lock: declared before it
    std::unique_lock guard(lock_);
    if (auto it = tasks_.find(id); it != tasks_.end()) {
        removed.emplace(std::move(it->second));
        tasks_.erase(it);
    }
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
    std::shared_lock guard(lock_);
    for (const auto& [id, entry] : tasks_) entry.running->store(false);
}

bool TaskManager::wait_all(std::optional<std::uint64_t> timeout_ms) const {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (running_count() == 0) return true;
        if (timeout_ms) {
            auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            if (static_cast<std::uint64_t>(elapsed.count()) >= *timeout_ms) return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

TaskManager& task_manager() {
    static TaskManager* manager = new TaskManager();
    return *manager;
}

TaskId next_task_id() noexcept { return task_id_counter.fetch_add(1); }

}  // namespace drovik::manager
