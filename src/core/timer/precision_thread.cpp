#include "core/timer/precision_thread.hpp"

#include <pthread.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <optional>
#include <system_error>

#include "core/timer/gil_lead.hpp"
#include "core/timer/lead_estimator.hpp"
#include "core/timer/realtime_thread.hpp"
#include "runtime/os_error.hpp"
#include "runtime/runtime.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace drovik::timer {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kThreadNameMax = 15;
// Added to the learned wake-up delay: what a quantile of the last few hundred
// wake-ups does not foresee.
constexpr auto kWakeSafety = std::chrono::nanoseconds(10us);

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void sleep_until(Clock::time_point wake) noexcept {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wake.time_since_epoch()).count();
    const timespec at{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    // steady_clock is CLOCK_MONOTONIC; an interrupted sleep goes on to the same instant.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
    }
}

// How a thread waits before each deadline.
enum class Wait {
    Fixed,    // the mode's whole threshold, and the GIL asked for at the deadline
    Learned,  // its own wake-up delays and GIL hand-overs, the threshold as the ceiling
    // No spin, on a process's only CPU: a spin there keeps whatever the call's
    // frames woke (the drivers, the socket task) from running until it ends, and
    // its CPU time makes every such wake-up preempt the timer's next call instead.
    Sleep,
};

// The wait of a thread started now: on the CPUs its starter left it, before any
// pinning of its own to the real-time CPUs.
Wait wait_of_this_thread(const PrecisionLoop& loop) noexcept {
    if (loop.fixed_spin) return Wait::Fixed;
    return rt::usable_cpus() == 1 ? Wait::Sleep : Wait::Learned;
}

// Where each wait before a deadline begins.
class Pacing {
public:
    Pacing(const PrecisionLoop& loop, Wait wait)
        : spin_(wait == Wait::Fixed ? loop.spin_threshold : Clock::duration::zero()) {
        if (wait == Wait::Learned) learned_.emplace(loop);
    }

    // Returns the instant the call was asked for.
    Clock::time_point wait_for(Clock::time_point deadline) noexcept {
        if (!learned_) {
            precision_sleep_until_sync(deadline, spin_);
            return Clock::now();
        }
        const auto ask = learned_->gil.ask_at(deadline);
        if (auto woke = precision_sleep_until_sync(ask, learned_->wake.lead(), &learned_->run_delay)) {
            // Late mostly because other threads had the CPU: leading further for
            // that would only spin longer, and a thread that spins more than its
            // share waits for the CPU the more.
            const bool crowded = woke->waiting_for_cpu && 2 * *woke->waiting_for_cpu > woke->late;
            if (crowded) {
                learned_->wake.passed_over();
            } else {
                learned_->wake.learn(woke->late);
            }
        } else {
            learned_->wake.skipped();
        }
        return Clock::now();
    }

    void called(Clock::time_point asked, const CallTimes& times) noexcept {
        if (learned_) learned_->gil.learn(asked, times);
    }

private:
    // What a Learned wait learns.
    struct Learned {
        explicit Learned(const PrecisionLoop& loop)
            // Half a period to begin with, so that even a threshold longer than the
            // period leaves the thread a sleep to learn from.
            : wake(std::chrono::duration_cast<std::chrono::nanoseconds>(loop.spin_threshold),
                   std::chrono::duration_cast<std::chrono::nanoseconds>(loop.period) / 2, kWakeSafety),
              gil(loop.period) {}
        LeadEstimator wake;
        GilLead gil;
        RunDelay run_delay;  // this thread's, opened on it
    };

    Clock::duration spin_;            // before each deadline, unless learned
    std::optional<Learned> learned_;  // a Learned wait's only
};

void run_loop(const PrecisionLoop& loop, Wait wait) {
    const auto& registry = manager::task_manager();
    Pacing pacing(loop, wait);
    auto asked = Clock::now();
    auto deadline = asked;  // the first call at once
    auto next_deadline = deadline + loop.period;
    while (loop.running->load()) {
        if (registry.shutdown_flag()) break;
        auto times = loop.call->call(deadline);
        if (!times) break;
        pacing.called(asked, *times);
        loop.timing->record_call(deadline, *times);
        loop.tick_count->fetch_add(1);
        asked = pacing.wait_for(next_deadline);
        deadline = next_deadline;
        next_deadline = catch_up(deadline + loop.period, loop.period, Clock::now());
        loop.timing->record_missed(static_cast<std::uint64_t>((next_deadline - deadline) / loop.period) - 1);
    }
    loop.running->store(false);
}

}  // namespace

std::chrono::nanoseconds spin_threshold(TimerPrecision precision) noexcept {
    return precision == TimerPrecision::Realtime ? 3ms : 800us;
}

std::optional<Woke> precision_sleep_until_sync(Clock::time_point deadline, Clock::duration spin_threshold,
                                               const RunDelay* run_delay) noexcept {
    const auto now = Clock::now();
    const auto wake = std::max(deadline - spin_threshold, now + least_rest());
    std::optional<Woke> woke;
    if (wake > now) {
        const auto waited_before = run_delay ? run_delay->total() : std::nullopt;
        sleep_until(wake);
        woke.emplace(Woke{Clock::now() - wake, std::nullopt});
        // Read before the spin: inside its margin, unless the wake-up was late already.
        if (const auto waited = waited_before ? run_delay->total() : std::nullopt) {
            woke->waiting_for_cpu = *waited - *waited_before;
        }
    }
    spin_until(deadline);
    return woke;
}

void spin_until(Clock::time_point deadline) noexcept {
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
            const Wait wait = wait_of_this_thread(loop);
            enter_precision_thread(loop.period);
            run_loop(loop, wait);
            loop.call->end();
        });
    } catch (const std::system_error& error) {
        return rt::Error{rt::ErrorKind::Other, "Failed to spawn timer thread: " + rt::os_error_text(error.code().value())};
    }
}

}  // namespace drovik::timer
