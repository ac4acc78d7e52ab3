#include "core/manager/running_flag.hpp"

namespace drovik::manager {

bool RunningState::exchange(bool running) noexcept {
    bool was = running_.exchange(running);
    if (was && !running) running_count_changes().notify_all();
    return was;
}

namespace {
// Constant-initialised and trivially destroyed: usable from any thread at any
// time, also while the process exits.
constinit rt::EventCount changes;
}  // namespace

rt::EventCount& running_count_changes() noexcept { return changes; }

}  // namespace drovik::manager
