// Wakers: counted references to whatever must make progress again, a task or a
// thread that polls a task itself. Whoever a poll registered with keeps one.
// Waking never polls the target: it queues the task or unparks the thread, so it
// is cheap and may be called from any thread, the reactor's driver included.
// Callers wake after dropping their own locks.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace drovik::rt {

// Something that can be told "make progress again": a task or a blocked thread.
class WakeTarget {
public:
    virtual void wake() = 0;
    virtual void retain() noexcept = 0;
    virtual void release() noexcept = 0;

protected:
    ~WakeTarget() = default;
};

// A counted reference to a wake target; cheap to copy, safe to call from any thread.
class Waker {
public:
    Waker() = default;
    // Takes over a reference the caller already holds.
    static Waker adopt(WakeTarget* target) noexcept {
        Waker w;
        w.target_ = target;
        return w;
    }
    Waker(const Waker& other) noexcept : target_(other.target_) {
        if (target_ != nullptr) target_->retain();
    }
    Waker(Waker&& other) noexcept : target_(std::exchange(other.target_, nullptr)) {}
    Waker& operator=(Waker other) noexcept {
        std::swap(target_, other.target_);
        return *this;
    }
    ~Waker() {
        if (target_ != nullptr) target_->release();
    }

    void wake() const {
        if (target_ != nullptr) target_->wake();
    }
    bool will_wake(const Waker& other) const noexcept { return target_ == other.target_; }
    explicit operator bool() const noexcept { return target_ != nullptr; }

private:
    WakeTarget* target_ = nullptr;
};

// Re-polls mostly come from the same task: skip the reference count round trip then.
inline void store_waker(Waker& slot, const Waker& waker) {
    if (!slot.will_wake(waker)) slot = waker;
}

// A wake target that lives exactly as long as references to it exist.
class CountedWakeTarget : public WakeTarget {
public:
    void retain() noexcept override { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept override {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

protected:
    virtual ~CountedWakeTarget() = default;

private:
    std::atomic<std::size_t> refs_{1};
};

}  // namespace drovik::rt
