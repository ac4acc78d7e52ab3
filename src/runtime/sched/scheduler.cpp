#include "runtime/sched/scheduler.hpp"

#include <algorithm>
#include <chrono>
#include <optional>

#include "runtime/os_error.hpp"
#include "runtime/realtime/worker_duty.hpp"
#include "runtime/runtime.hpp"
#include "runtime/sched/task_core.hpp"
#include "runtime/sched/thread_group.hpp"

namespace drovik::rt {

namespace {

struct WorkerIdentity {
    Scheduler* scheduler = nullptr;
    std::size_t slot = 0;
    bool handed_off = false;
};

thread_local WorkerIdentity this_worker;
thread_local bool in_job = false;

}  // namespace

bool on_worker_thread() noexcept { return this_worker.scheduler != nullptr; }

bool in_task_step() noexcept { return this_worker.scheduler != nullptr || this_worker.handed_off || in_job; }

JobStep::JobStep() noexcept { in_job = true; }
JobStep::~JobStep() { in_job = false; }

Scheduler::Scheduler(Runtime& runtime, Reactor& reactor, ThreadGroup& threads, std::size_t workers)
    : runtime_(runtime), reactor_(reactor), threads_(threads) {
    for (std::size_t i = 0; i < workers; ++i) slots_.push_back(std::make_unique<Slot>(reactor));
    idle_.reserve(workers);
}

Scheduler::~Scheduler() = default;

Result<void> Scheduler::start() {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (auto started = start_worker(i); !started) return started;
    }
    return {};
}

Result<void> Scheduler::start_worker(std::size_t slot) {
    return threads_.spawn([this, slot] { worker_main(slot); });
}

void Scheduler::shutdown() {
    stopping_.store(true, std::memory_order_seq_cst);
    for (auto& slot : slots_) slot->parker.unpark();
    std::lock_guard lock(spare_mu_);
    for (Spare* spare : spares_) spare->assigned.notify_one();
}

bool Scheduler::owns_current_thread() const noexcept { return this_worker.scheduler == this; }

void Scheduler::schedule(TaskCore* task) {
    if (stopping_.load(std::memory_order_acquire)) {
        task->discard();
        return;
    }
    if (owns_current_thread()) {
        Slot& slot = *slots_[this_worker.slot];
        {
            std::lock_guard lock(slot.mu);
            slot.queue.push_back(task);
        }
        // Woken inside this worker's own reactor turn: it runs its queue as the
        // turn ends, and park() calls for help if that is more than one task.
        if (slot.parker.driving()) return;
    } else {
        std::lock_guard lock(inject_mu_);
        injected_.push_back(task);
    }
    notify_one();
}

Result<void> Scheduler::hand_off_current_worker() {
    if (!give_slot_to_spare(this_worker.slot)) {
        if (auto started = start_worker(this_worker.slot); !started) {
            return Error{ErrorKind::Other, "OS can't spawn worker thread: " + started.error().text};
        }
    }
    this_worker.scheduler = nullptr;
    this_worker.handed_off = true;
    return {};
}

bool Scheduler::give_slot_to_spare(std::size_t slot) {
    std::lock_guard lock(spare_mu_);
    if (spares_.empty()) return false;
    Spare* spare = spares_.back();
    spares_.pop_back();
    spare->slot = slot;
    spare->assigned.notify_one();
    return true;
}

std::optional<std::size_t> Scheduler::wait_as_spare() {
    // Like an idle blocking-pool thread, a spare nobody needs for a while exits.
    constexpr auto kSpareIdleLimit = std::chrono::seconds(10);
    Spare me;
    std::unique_lock lock(spare_mu_);
    spares_.push_back(&me);
    me.assigned.wait_for(lock, kSpareIdleLimit, [&] { return me.slot || stopping_.load(); });
    if (!me.slot) spares_.erase(std::find(spares_.begin(), spares_.end(), &me));
    return me.slot;
}

void Scheduler::worker_main(std::size_t slot) {
    RuntimeScope scope(runtime_);
    for (;;) {
        serve_slot(slot);
        if (stopping_.load(std::memory_order_acquire)) return;
        auto next = wait_as_spare();
        if (!next) return;
        slot = *next;
    }
}

void Scheduler::serve_slot(std::size_t slot) {
    this_worker = WorkerIdentity{this, slot, false};
    realtime::enter_worker_duty();
    while (!stopping_.load(std::memory_order_acquire) && !this_worker.handed_off) {
        if (TaskCore* task = next_task(slot)) {
            task->run();
        } else {
            park(slot);
        }
    }
    this_worker = WorkerIdentity{};
}

TaskCore* Scheduler::pop_front(std::mutex& mu, std::deque<TaskCore*>& queue) {
    std::lock_guard lock(mu);
    if (queue.empty()) return nullptr;
    TaskCore* task = queue.front();
    queue.pop_front();
    return task;
}

TaskCore* Scheduler::next_task(std::size_t slot) {
    Slot& own = *slots_[slot];
    if (TaskCore* task = pop_front(own.mu, own.queue)) return task;
    if (TaskCore* task = pop_front(inject_mu_, injected_)) return task;
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        Slot& victim = *slots_[(slot + i) % slots_.size()];
        if (TaskCore* task = pop_front(victim.mu, victim.queue)) return task;
    }
    return nullptr;
}

bool Scheduler::has_work() {
    {
        std::lock_guard lock(inject_mu_);
        if (!injected_.empty()) return true;
    }
    for (auto& slot : slots_) {
        std::lock_guard lock(slot->mu);
        if (!slot->queue.empty()) return true;
    }
    return false;
}

void Scheduler::park(std::size_t slot) {
    {
        std::lock_guard lock(idle_mu_);
        idle_.push_back(slot);
        idle_count_.fetch_add(1, std::memory_order_seq_cst);
    }
    // A task queued after the last look but before we were listed as idle
    // would otherwise wait for the next wake-up.
    if (!has_work() && !stopping_.load(std::memory_order_seq_cst)) slots_[slot]->parker.park();
    leave_idle(slot);
    // What the turn woke waits in this worker's queue; another worker takes what
    // it will not run next (and the reactor duty with it, once it parks).
    bool more = false;
    {
        std::lock_guard lock(slots_[slot]->mu);
        more = slots_[slot]->queue.size() > 1;
    }
    if (more) notify_one();
}

void Scheduler::leave_idle(std::size_t slot) {
    std::lock_guard lock(idle_mu_);
    auto it = std::find(idle_.begin(), idle_.end(), slot);
    if (it == idle_.end()) return;
    idle_.erase(it);
    idle_count_.fetch_sub(1, std::memory_order_seq_cst);
}

void Scheduler::notify_one() {
    if (idle_count_.load(std::memory_order_seq_cst) == 0) return;
    std::size_t chosen;
    {
        std::lock_guard lock(idle_mu_);
        // A worker that queues a task from inside its own reactor turn looks at its
        // queue as the turn ends: waking itself would only cost an eventfd round.
        std::optional<std::size_t> own;
        if (owns_current_thread()) own = this_worker.slot;
        auto others = [&](std::size_t s) { return s != own; };
        // Leave the worker that waits in the reactor there, so I/O and timers stay served.
        auto it = std::find_if(idle_.begin(), idle_.end(),
                               [&](std::size_t s) { return others(s) && !slots_[s]->parker.driving(); });
        if (it == idle_.end()) it = std::find_if(idle_.begin(), idle_.end(), others);
        if (it == idle_.end()) return;
        chosen = *it;
        idle_.erase(it);
        idle_count_.fetch_sub(1, std::memory_order_seq_cst);
    }
    slots_[chosen]->parker.unpark();
}

}  // namespace drovik::rt
