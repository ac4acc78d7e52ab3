// A mutex for tasks: waiting suspends the task, not its thread. The lock passes
// straight from the holder to the first waiter, in the order waiters first asked,
// so nobody overtakes and try_lock never jumps the queue. A request dropped
// before its grant leaves the queue; one granted but never taken passes the lock
// on. A guard may be released on any thread.
#pragma once

#include <mutex>
#include <optional>
#include <utility>

#include "runtime/sched/context.hpp"
#include "runtime/sched/waker.hpp"

namespace drovik::rt {

class MutexLock;

// A mutex for tasks: waiting suspends the task, and the lock passes to waiters
// in the order they first asked for it.
class AsyncMutex {
public:
    class Guard {
    public:
        Guard(Guard&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
        Guard& operator=(Guard&& other) noexcept {
            std::swap(mutex_, other.mutex_);
            return *this;
        }
        ~Guard() {
            if (mutex_ != nullptr) mutex_->unlock();
        }

    private:
        friend class AsyncMutex;
        friend class MutexLock;
        explicit Guard(AsyncMutex* mutex) : mutex_(mutex) {}
        AsyncMutex* mutex_;
    };

    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    MutexLock lock();
    // Succeeds only when free and nobody queues.
    std::optional<Guard> try_lock();

private:
    friend class MutexLock;
    struct Waiter {
        Waiter* next = nullptr;
        Waiter* prev = nullptr;
        Waker waker;
        bool queued = false;
        bool granted = false;
    };

    void unlock();
    void unlink_locked(Waiter& waiter);

    std::mutex mu_;
    bool locked_ = false;
    Waiter* head_ = nullptr;
    Waiter* tail_ = nullptr;
};

class MutexLock {
public:
    explicit MutexLock(AsyncMutex& mutex) : mutex_(mutex) {}
    MutexLock(MutexLock&& other) noexcept : mutex_(other.mutex_) {}
    ~MutexLock();

    bool poll(Context& cx);
    AsyncMutex::Guard take();

private:
    AsyncMutex& mutex_;
    AsyncMutex::Waiter waiter_;
    bool taken_ = false;
};

}  // namespace drovik::rt
