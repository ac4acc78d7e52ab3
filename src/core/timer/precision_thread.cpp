#include "core/timer/precision_thread.hpp"

#include <pthread.h>
#include <sys/prctl.h>

#include <system_error>

#include "core/timer/realtime_thread.hpp"
#include "runtime/os_error.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace drovik::timer {

namespace {

constexpr std::size_t kThreadNameMax = 15;

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void run_loop(const PrecisionLoop& loop) {
    const auto& registry = manager::task_manager();
    auto next_deadline = Clock::now() + loop.period;
    while (loop.running->load()) {
        if (registry.shutdown_flag() || !loop.call->call()) {
            loop.running->store(false);
            return;
        }
        loop.tick_count->fetch_add(1);
        precision_sleep_until_sync(next_deadline, loop.spin_threshold);
        next_deadline = catch_up(next_deadline + loop.period, loop.period, Clock::now());
    }
}

}  // namespace

std::chrono::nanoseconds spin_threshold(TimerPrecision precision) noexcept {
    using namespace std::chrono_literals;
    return precision == TimerPrecision::Realtime ? 3ms : 800us;
}

void precision_sleep_until_sync(Clock::time_point deadline, Clock::duration spin_threshold) noexcept {
    rest_before(deadline, spin_threshold);
    auto now = Clock::now();
    if (now >= deadline) return;
    auto remaining = deadline - now;
    if (remaining > spin_threshold) std::this_thread::sleep_for(remaining - spin_threshold);
    while (Clock::now() < deadline) spin_hint();
}

Clock::time_point catch_up(Clock::time_point next_deadline, Clock::duration period, Clock::time_point now) noexcept {
    if (now <= next_deadline) return next_deadline;
    auto late = std::chrono::duration_cast<std::chrono::nanoseconds>(now - next_deadline).count();
    auto step = std::chrono::duration_cast<std::chrono::nanoseconds>(period).count();
    return next_deadline + period * (late / step + 1);
}

std::string timer_thread_name(std::uint64_t task_id, TimerPrecision precision) {
    std::string name = "timer-" + std::to_string(task_id) + "-" + std::string(debug_name(precision));
    if (name.size() > kThreadNameMax) name.resize(kThreadNameMax);
    return name;
}

rt::Result<std::thread> spawn_precision_thread(std::string name, PrecisionLoop loop) {
    try {
        return std::thread([name = std::move(name), loop = std::move(loop)]() mutable {
            pthread_setname_np(pthread_self(), name.c_str());
            // Timed waits of this thread end when asked rather than up to 50 us
            // later: the sleep before the spin, and above all the interpreter's
            // wait for the GIL, which asks the holder to let go only once its
            // timed wait of one switch interval ends.
            prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            enter_precision_thread(loop.period);
            run_loop(loop);
            loop.call->end();
        });
    } catch (const std::system_error& error) {
        return rt::Error{rt::ErrorKind::Other, "Failed to spawn timer thread: " + rt::os_error_text(error.code().value())};
    }
}

}  // namespace drovik::timer
