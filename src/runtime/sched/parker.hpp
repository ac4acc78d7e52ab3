#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace drovik::rt {

class Reactor;

// Puts one thread to sleep until unpark(). A parking thread that finds the
// reactor free waits inside it (serving I/O and timers for everyone); otherwise
// it sleeps on a condition variable. An unpark before park is not lost.
class Parker {
public:
    explicit Parker(Reactor& reactor) : reactor_(reactor) {}

    void park();
    void unpark();
    bool driving() const noexcept { return state_.load(std::memory_order_acquire) == kParkedDriver; }

private:
    friend class Reactor;
    void drive();
    void park_on_condvar();

    static constexpr int kEmpty = 0;
    static constexpr int kParkedCondvar = 1;
    static constexpr int kParkedDriver = 2;
    static constexpr int kNotified = 3;

    Reactor& reactor_;
    std::atomic<int> state_{kEmpty};
    std::mutex mu_;
    std::condition_variable cv_;
};

}  // namespace drovik::rt
