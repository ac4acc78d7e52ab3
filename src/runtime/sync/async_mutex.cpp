#include "runtime/sync/async_mutex.hpp"

namespace drovik::rt {

MutexLock AsyncMutex::lock() { return MutexLock(*this); }

std::optional<AsyncMutex::Guard> AsyncMutex::try_lock() {
    std::lock_guard lock(mu_);
    if (locked_ || head_ != nullptr) return std::nullopt;
    locked_ = true;
    return Guard(this);
}

void AsyncMutex::unlink_locked(Waiter& waiter) {
    (waiter.prev != nullptr ? waiter.prev->next : head_) = waiter.next;
    (waiter.next != nullptr ? waiter.next->prev : tail_) = waiter.prev;
    waiter.next = waiter.prev = nullptr;
    waiter.queued = false;
}

void AsyncMutex::unlock() {
    Waker next_owner;
    {
        std::lock_guard lock(mu_);
        if (head_ == nullptr) {
            locked_ = false;
            return;
        }
        // Ownership passes directly, so nobody can overtake the first waiter.
        Waiter& first = *head_;
        unlink_locked(first);
        first.granted = true;
        next_owner = std::move(first.waker);
    }
    next_owner.wake();
}

bool MutexLock::poll(Context& cx) {
    std::lock_guard lock(mutex_.mu_);
    if (waiter_.granted) return true;
    if (!waiter_.queued) {
        if (!mutex_.locked_ && mutex_.head_ == nullptr) {
            mutex_.locked_ = true;
            waiter_.granted = true;
            return true;
        }
        waiter_.queued = true;
        waiter_.prev = mutex_.tail_;
        (mutex_.tail_ != nullptr ? mutex_.tail_->next : mutex_.head_) = &waiter_;
        mutex_.tail_ = &waiter_;
    }
    store_waker(waiter_.waker, cx.waker);
    return false;
}

AsyncMutex::Guard MutexLock::take() {
    taken_ = true;
    return AsyncMutex::Guard(&mutex_);
}

MutexLock::~MutexLock() {
    bool pass_on = false;
    {
        std::lock_guard lock(mutex_.mu_);
        if (waiter_.queued) {
            mutex_.unlink_locked(waiter_);
        } else {
            pass_on = waiter_.granted && !taken_;
        }
    }
    // Granted to a waiter that went away before taking it.
    if (pass_on) mutex_.unlock();
}

}  // namespace drovik::rt
