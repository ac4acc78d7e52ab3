#include "runtime/realtime/worker_duty.hpp"

#include <sys/types.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "diag/stderr_line.hpp"
#include "runtime/realtime/fifo.hpp"

namespace drovik::rt::realtime {

namespace {

// The mutex guards the list and the priority together: a thread entering or
// leaving the duty and a raise of all listed threads never see each other half
// done. Never destroyed: runtime threads may still end while the process exits.
struct Duty {
    std::mutex mu;
    std::vector<pid_t> on_duty;  // guarded by mu
    int priority = 0;            // guarded by mu; 0: ordinary scheduling
};

Duty& duty = *new Duty;

void unlist(pid_t tid) {
    auto it = std::find(duty.on_duty.begin(), duty.on_duty.end(), tid);
    if (it != duty.on_duty.end()) duty.on_duty.erase(it);
}

// A thread that ends on duty (its runtime stopped) leaves the list, so a
// later raise never reaches a thread id the kernel has handed to someone else.
struct Listing {
    bool listed = false;
    ~Listing() {
        if (!listed) return;
        std::lock_guard lock(duty.mu);
        unlist(this_thread_id());
    }
};

thread_local Listing listing;

}  // namespace

void enter_worker_duty() noexcept {
    const pid_t tid = this_thread_id();
    std::unique_lock lock(duty.mu);
    if (!listing.listed) {
        try {
            duty.on_duty.push_back(tid);
        } catch (...) {
            return;  // out of memory: this worker stays ordinary and unlisted
        }
        listing.listed = true;
    }
    if (duty.priority == 0) return;
    auto raised = raise_thread(tid, duty.priority);
    if (raised) return;
    for (pid_t other : duty.on_duty) drop_thread(other);
    const int refused = std::exchange(duty.priority, 0);
    lock.unlock();  // a slow standard error must not hold up the other workers
    try {
        diag::write_stderr_line("Warning: DROVIK_RT_PRIORITY: SCHED_FIFO priority " + std::to_string(refused) +
                                " refused for a runtime thread (" + raised.error().text + "): " +
                                priority_permission_hint(refused) +
                                "; runtime threads run with ordinary scheduling from now on");
    } catch (...) {
        // out of memory: the line is lost, the outcome stands
    }
}

void drop_to_ordinary_scheduling() noexcept {
    std::lock_guard lock(duty.mu);
    if (!listing.listed) return;
    unlist(this_thread_id());
    listing.listed = false;
    if (duty.priority != 0) drop_thread(this_thread_id());
}

Result<void> raise_workers(int priority) {
    std::lock_guard lock(duty.mu);
    for (pid_t tid : duty.on_duty) {
        if (auto raised = raise_thread(tid, priority); !raised) {
            for (pid_t other : duty.on_duty) drop_thread(other);
            duty.priority = 0;
            return raised.error();
        }
    }
    duty.priority = priority;
    return {};
}

}  // namespace drovik::rt::realtime
