// Parking, and how the reactor duty passes between parked threads. A thread that
// parks (an idle worker, or one polling its own task) first tries to become the
// reactor's driver: then it sleeps in epoll_wait and dispatches readiness, timer
// expiry and signal notices for everyone. Otherwise it lists itself as a driver
// candidate and sleeps on its condition variable. Every turn of the reactor ends
// the driver's park: it releases the duty and unparks the first candidate, and
// whichever of the two parks first drives next. So the duty passes on while any
// thread is parked, and the runtime needs no thread of its own for I/O.
//
// A worker's parker hands nothing over (Handover::Never): the worker runs what
// its turn woke and parks again at once, so unparking another thread to wait in
// the reactor meanwhile would cost a wake-up and a switch per event (two threads
// for every frame read). The scheduler wakes another worker when the turn left
// more than one task; that one drives once it parks.
//
// States: Empty, ParkedCondvar, ParkedDriver, Notified. unpark() sets Notified
// whatever the state and wakes the sleeper by the means its state names (the
// condition variable, or the reactor's wake eventfd), so an unpark that comes
// before the park is not lost.
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
    // Whether the end of a turn unparks a candidate to drive next.
    enum class Handover { Always, Never };

    explicit Parker(Reactor& reactor, Handover handover = Handover::Always) : reactor_(reactor), handover_(handover) {}

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
    Handover handover_;
    std::atomic<int> state_{kEmpty};
    std::mutex mu_;
    std::condition_variable cv_;
};

}  // namespace drovik::rt
