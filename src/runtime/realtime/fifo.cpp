#include "runtime/realtime/fifo.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/os_error.hpp"

namespace drovik::rt::realtime {

pid_t this_thread_id() noexcept { return gettid(); }

Result<void> raise_thread(pid_t tid, int priority) {
    sched_param param{};
    param.sched_priority = priority;
    if (sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) != 0) return os_error(errno);
    return {};
}

void drop_thread(pid_t tid) noexcept {
    sched_param param{};
    // Keeps reset-on-fork: only a privileged thread may clear it.
    (void)sched_setscheduler(tid, SCHED_OTHER | SCHED_RESET_ON_FORK, &param);
}

std::string priority_permission_hint(int priority) {
    std::string limit = "unknown";
    if (rlimit rl{}; getrlimit(RLIMIT_RTPRIO, &rl) == 0) {
        limit = rl.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string(rl.rlim_cur);
    }
    return "needs CAP_SYS_NICE or an RLIMIT_RTPRIO of at least " + std::to_string(priority) + " (ulimit -r here: " +
           limit + ")";
}

}  // namespace drovik::rt::realtime
