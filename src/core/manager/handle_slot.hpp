// Where a background task's join handle is kept once its starter has it. The
// starter fills it once; the registry only keeps it alive beside the entry.
#pragma once

#include <memory>
#include <optional>

#include "runtime/sched/join_handle.hpp"
#include "runtime/sync/async_mutex.hpp"

namespace drovik::manager {

struct HandleSlot {
    rt::AsyncMutex mutex;
    std::optional<rt::JoinHandle<void>> handle;  // guarded by mutex
};

using SharedHandleSlot = std::shared_ptr<HandleSlot>;

}  // namespace drovik::manager
