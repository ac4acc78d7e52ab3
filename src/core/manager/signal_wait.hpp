// Waiting for the signals that ask the process to shut down.
#pragma once

#include <string_view>

#include "runtime/result.hpp"
#include "runtime/sched/task.hpp"

namespace drovik::manager {

// "SIGINT" or "SIGTERM", whichever is delivered first after both listeners are
// registered; a registration failure is an error naming the signal.
rt::Task<rt::Result<std::string_view>> wait_for_shutdown_signal();

}  // namespace drovik::manager
