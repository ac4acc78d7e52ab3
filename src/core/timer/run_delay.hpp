// How long the calling thread has waited, runnable, for a CPU: what the kernel
// counts in /proc/thread-self/schedstat. A wake-up late by that much was late
// because other threads had the CPU, not because the wake-up itself was slow.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace drovik::timer {

// The waiting time in the text of a schedstat file.
std::optional<std::chrono::nanoseconds> waited_in_schedstat(std::string_view text) noexcept;

class RunDelay {
public:
    // Opens this thread's count: make it on the thread it reads.
    RunDelay() noexcept;
    ~RunDelay();
    RunDelay(const RunDelay&) = delete;
    RunDelay& operator=(const RunDelay&) = delete;

    // The total so far; none without the kernel's scheduler statistics.
    std::optional<std::chrono::nanoseconds> total() const noexcept;

private:
    int fd_;  // -1 when the count could not be opened
};

}  // namespace drovik::timer
