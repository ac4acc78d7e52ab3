#include "core/timer/timer_handle.hpp"

#include <cstdio>

#include "diag/stderr_line.hpp"

namespace drovik::timer {

TimerHandle::TimerHandle(Clock::time_point start_time, TimerRecords records, manager::TaskId task_id,
                         double frequency, TimerPrecision precision)
    : start_time_(start_time),
      records_(std::move(records)),
      task_id_(task_id),
      frequency_(frequency),
      precision_(precision) {}

TimerHandle::~TimerHandle() {
    if (!records_.running) return;
    if (records_.running->load()) {
        diag::write_stderr_line("Warning: TimerHandle(id=" + std::to_string(task_id_) +
                                ") dropped while still running. Make sure to save the handle returned by "
                                "timer-decorated functions.");
    }
    records_.running->store(false);
    manager::task_manager().unregister(task_id_);
}

double TimerHandle::elapsed_secs() const noexcept {
    auto elapsed = Clock::now() - start_time_;
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - secs);
    return static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1'000'000'000.0;
}

double TimerHandle::actual_frequency() const noexcept {
    auto ticks = tick_count();
    double elapsed = elapsed_secs();
    return elapsed > 0.0 ? static_cast<double>(ticks) / elapsed : 0.0;
}

std::string TimerHandle::describe() const {
    double actual = actual_frequency();
    char text[512];
    std::snprintf(text, sizeof text, "TimerHandle(id=%llu, freq=%.1fHz, actual=%.1fHz, mode=%s, ticks=%llu, running=%s)",
                  static_cast<unsigned long long>(task_id_), frequency_, actual, python_name(precision_).data(),
                  static_cast<unsigned long long>(tick_count()), is_running() ? "true" : "false");
    return text;
}

}  // namespace drovik::timer
