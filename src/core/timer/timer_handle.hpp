// A started timer as its owner sees it: the records it shares with the timer's
// loop and registry entry, its statistics, and the stop on release.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/manager/task_registry.hpp"
#include "core/timer/tick_timing.hpp"
#include "core/timer/timer_precision.hpp"

namespace drovik::timer {

using TickCount = std::shared_ptr<std::atomic<std::uint64_t>>;

// A precision timer's thread. Never joined: the last owner detaches it, and it
// ends by itself once it sees its flag cleared.
struct ThreadSlot {
    std::mutex mutex;
    std::optional<std::thread> thread;  // guarded by mutex

    ~ThreadSlot() {
        if (thread && thread->joinable()) thread->detach();
    }
};

struct TimerRecords {
    manager::RunningFlag running = std::make_shared<manager::RunningState>(true);
    TickCount tick_count = std::make_shared<std::atomic<std::uint64_t>>(0);
    SharedTickTiming timing = std::make_shared<TickTiming>();
    manager::SharedHandleSlot task_handle = std::make_shared<manager::HandleSlot>();
    std::shared_ptr<ThreadSlot> thread_handle = std::make_shared<ThreadSlot>();
};

class TimerHandle {
public:
    TimerHandle(Clock::time_point start_time, TimerRecords records, manager::TaskId task_id, double frequency,
                TimerPrecision precision);
    TimerHandle(TimerHandle&& other) noexcept = default;
    TimerHandle& operator=(TimerHandle&&) = delete;
    // Warns if the timer still runs, stops it and leaves the registry.
    ~TimerHandle();

    void stop() noexcept { records_.running->store(false); }
    bool is_running() const noexcept { return records_.running->load(); }
    double frequency() const noexcept { return frequency_; }
    TimerPrecision precision() const noexcept { return precision_; }
    std::uint64_t tick_count() const noexcept { return records_.tick_count->load(); }
    manager::TaskId task_id() const noexcept { return task_id_; }
    TimingSummary timing() const noexcept { return records_.timing->summary(); }

    double elapsed_secs() const noexcept;
    // Calls per second over the whole life, up to now (not up to the stop).
    double actual_frequency() const noexcept;
    std::string describe() const;

private:
    Clock::time_point start_time_;
    TimerRecords records_;  // empty after a move
    manager::TaskId task_id_;
    double frequency_;
    TimerPrecision precision_;
};

}  // namespace drovik::timer
