#include "runtime/sched/task_core.hpp"

#include "runtime/runtime.hpp"
#include "runtime/sched/scheduler.hpp"

namespace drovik::rt {

namespace {
constexpr unsigned kRunning = 1;
constexpr unsigned kScheduled = 2;   // sits in a queue
constexpr unsigned kNotified = 4;    // woken while running: run again
constexpr unsigned kComplete = 8;
constexpr unsigned kAbortRequested = 16;
}  // namespace

void TaskCore::retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }

void TaskCore::release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void TaskCore::wake() {
    unsigned s = state_.load(std::memory_order_acquire);
    for (;;) {
        if ((s & kComplete) != 0) return;
        unsigned next;
        if ((s & kRunning) != 0) {
            if ((s & kNotified) != 0) return;
            next = s | kNotified;
        } else {
            if ((s & kScheduled) != 0) return;
            next = s | kScheduled;
        }
        if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel)) break;
    }
    if ((s & kRunning) == 0) {
        retain();
        scheduler_.schedule(this);
    }
}

void TaskCore::abort() {
    state_.fetch_or(kAbortRequested, std::memory_order_acq_rel);
    wake();
}

void TaskCore::run() {
    unsigned s = state_.load(std::memory_order_acquire);
    while (!state_.compare_exchange_weak(s, (s | kRunning) & ~(kScheduled | kNotified),
                                         std::memory_order_acq_rel)) {
    }
    if ((s & kAbortRequested) != 0) {
        finish(true);
        release();
        return;
    }
    retain();
    Waker waker = Waker::adopt(this);
    Context cx{waker, scheduler_.runtime()};
    if (poll_future(cx)) {
        finish(false);
        release();
        return;
    }
    requeue_or_idle();
}

void TaskCore::requeue_or_idle() {
    unsigned s = state_.load(std::memory_order_acquire);
    for (;;) {
        if ((s & (kNotified | kAbortRequested)) != 0) {
            if (state_.compare_exchange_weak(s, (s & ~(kRunning | kNotified)) | kScheduled,
                                             std::memory_order_acq_rel)) {
                scheduler_.schedule(this);  // passes the queue reference on
                return;
            }
        } else if (state_.compare_exchange_weak(s, s & ~kRunning, std::memory_order_acq_rel)) {
            release();
            return;
        }
    }
}

void TaskCore::finish(bool aborted) {
    // Locals go first: their destructors withdraw whatever they were registered with.
    drop_future();
    Waker joiner;
    {
        std::lock_guard lock(join_mu_);
        finished_ = true;
        aborted_ = aborted;
        joiner = std::move(join_waker_);
    }
    state_.fetch_or(kComplete, std::memory_order_acq_rel);
    state_.fetch_and(~kRunning, std::memory_order_acq_rel);
    joiner.wake();
}

void TaskCore::discard() {
    drop_future();
    release();
}

bool TaskCore::poll_join(Context& cx) {
    std::lock_guard lock(join_mu_);
    if (finished_) return true;
    store_waker(join_waker_, cx.waker);
    return false;
}

bool TaskCore::was_aborted() {
    std::lock_guard lock(join_mu_);
    return aborted_;
}

}  // namespace drovik::rt
