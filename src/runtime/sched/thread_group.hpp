// The runtime's own threads, started detached and counted, so that a runtime
// being destroyed can wait for the last of them and tests can see how many live.
// A thread counts as started only once it carries its name.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

#include "runtime/result.hpp"

namespace drovik::rt {

// Starts the runtime's threads (all named alike, detached) and knows how many still run.
class ThreadGroup {
public:
    static constexpr const char* kThreadName = "drovik-rt";

    Result<void> spawn(std::function<void()> body);
    void wait_all();
    std::size_t live();

private:
    static void* thread_main(void* arg);
    void on_exit();

    std::mutex mu_;
    std::condition_variable cv_;
    std::size_t live_ = 0;
};

}  // namespace drovik::rt
