// The running flag of one timer or asynchronous task, shared by the activity,
// its handle and its registry entry. It is set when the activity starts and,
// once cleared, never set again. Clearing it wakes every thread that waits for
// the registry's running count to fall, so those waits need not poll.
#pragma once

#include <atomic>
#include <memory>

#include "runtime/sync/event_count.hpp"

namespace drovik::manager {

class RunningState {
public:
    explicit RunningState(bool running) noexcept : running_(running) {}

    bool load() const noexcept { return running_.load(); }
    void store(bool running) noexcept { (void)exchange(running); }
    bool exchange(bool running) noexcept;

private:
    std::atomic<bool> running_;
};

using RunningFlag = std::shared_ptr<RunningState>;

// Moves whenever a running flag clears or a registry drops an entry: the
// running count of any registry may have fallen.
rt::EventCount& running_count_changes() noexcept;

}  // namespace drovik::manager
