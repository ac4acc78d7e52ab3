#include "core/timer/realtime_thread.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>

#include "diag/stderr_line.hpp"
#include "runtime/os_error.hpp"
#include "runtime/realtime/fifo.hpp"
#include "runtime/realtime/worker_duty.hpp"

namespace drovik::timer {

namespace {

std::once_flag settling;
std::atomic<bool> settled{false};
// Written once under `settling`, before any thread that reads it starts; never
// destroyed, as timer threads outlive the process's static objects.
RealtimeSettings& chosen = *new RealtimeSettings;

std::atomic<bool> priority_refused{false};
std::atomic<bool> cpus_refused{false};
std::atomic<bool> workers_raised{false};
std::atomic<bool> workers_refused{false};

// The least a raised timer thread sleeps per cycle; zero while it runs ordinary.
thread_local Clock::duration min_rest{0};

void warn(std::atomic<bool>& once, const std::string& line) {
    if (!once.exchange(true)) diag::write_stderr_line(line);
}

std::string priority_refusal(int asked, const std::string& whom, int priority, const rt::Error& why) {
    return "Warning: DROVIK_RT_PRIORITY=" + std::to_string(asked) + " refused for " + whom + ": " + why.text + "; " +
           rt::realtime::priority_permission_hint(priority) + "; they run with ordinary scheduling";
}

void pin(const RealtimeSettings& settings) {
    if (!settings.cpus || cpus_refused.load()) return;
    if (sched_setaffinity(0, sizeof *settings.cpus, &*settings.cpus) == 0) return;
    const int code = errno;
    warn(cpus_refused, "Warning: DROVIK_RT_CPUS=" + settings.cpus_text + " refused: " + rt::os_error_text(code) +
                           (code == EINVAL ? ": none of these CPUs is one this process may run on" : "") +
                           "; precision timers run on any CPU");
}

// Timer threads at N, workers at N-1: a tick preempts the runtime's frame
// handling, and both preempt every ordinary thread.
void raise_priority(const RealtimeSettings& settings, Clock::duration period) {
    if (settings.priority == 0 || priority_refused.load()) return;
    if (auto raised = rt::realtime::raise_thread(0, settings.priority); !raised) {
        warn(priority_refused,
             priority_refusal(settings.priority, "precision timer and runtime threads", settings.priority,
                              raised.error()));
        return;
    }
    min_rest = period / 2;
    if (workers_raised.exchange(true)) return;
    const int workers = std::max(1, settings.priority - 1);
    if (auto raised = rt::realtime::raise_workers(workers); !raised) {
        warn(workers_refused, priority_refusal(settings.priority, "runtime threads at " + std::to_string(workers),
                                               workers, raised.error()));
    }
}

// Pages stay in memory once touched, so none is evicted and read back during a
// tick. On fault, not up front: locking up front would fill every thread's
// whole stack reservation (8 MB each) with memory.
void lock_memory() {
    if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0) return;
    diag::write_stderr_line("Warning: DROVIK_RT_MLOCK=1 refused: " + rt::os_error_text(errno) +
                            "; needs CAP_IPC_LOCK or a large enough RLIMIT_MEMLOCK (ulimit -l); pages stay unlocked");
}

}  // namespace

void settle_realtime(const RealtimeSettings& settings) {
    std::call_once(settling, [&] {
        chosen = settings;
        if (chosen.lock_memory) lock_memory();
        settled.store(true);
    });
}

bool realtime_settled() noexcept { return settled.load(); }

bool fixed_spin() noexcept { return settled.load() && chosen.fixed_spin; }

void enter_precision_thread(Clock::duration period) noexcept {
    if (!settled.load()) return;
    try {
        pin(chosen);
        raise_priority(chosen, period);
    } catch (...) {
        // out of memory while composing a warning: the scheduling outcome stands
    }
}

Clock::duration least_rest() noexcept { return min_rest; }

}  // namespace drovik::timer
