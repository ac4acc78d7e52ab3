#include "core/timer/normal_loop.hpp"

#include <optional>

#include "runtime/blocking/spawn_blocking.hpp"
#include "runtime/time/interval.hpp"

namespace drovik::timer {

namespace {

// Built outside the coroutine: GCC 12 may bind a lambda's copy of a coroutine
// parameter to the caller's object, which is gone once the task runs.
auto tick_job(SharedTickCall call, Clock::time_point due) {
    return rt::spawn_blocking([call = std::move(call), due] { return call->call(due); });
}

auto end_job(SharedTickCall call) {
    return rt::spawn_blocking([call = std::move(call)] { call->end(); });
}

}  // namespace

rt::Task<void> normal_loop(manager::RunningFlag running, TickCount tick_count, SharedTickTiming timing,
                           Clock::duration period, SharedTickCall call) {
    rt::Interval ticker(period);
    std::optional<Clock::time_point> last_due;
    while (running->load()) {
        const Clock::time_point due = co_await ticker.tick();
        if (last_due) timing->record_missed(static_cast<std::uint64_t>((due - *last_due) / period) - 1);
        last_due = due;
        if (manager::task_manager().shutdown_flag()) break;
        // A failed hand-off to the pool counts as a tick, like a call that raised.
        auto made = co_await tick_job(call, due);
        if (made.ok() && !made.value()) break;
        if (made.ok()) timing->record_call(due, *made.value());
        tick_count->fetch_add(1);
    }
    running->store(false);
    // Off the worker: ending may wait for the GIL.
    (void)co_await end_job(call);
}

}  // namespace drovik::timer
