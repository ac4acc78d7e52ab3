// One motor driver of a broadcast group: its slot, feedback identifier and
// mode, the target the next broadcast sends, and its last decoded feedback.
// Shared by the group's list, every Python Device wrapping it, and the receive
// task while it stores feedback.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "instance/motor/protocol/motor_mode.hpp"
#include "instance/motor/protocol/watch_data.hpp"
#include "runtime/sched/task.hpp"
#include "runtime/sync/async_mutex.hpp"

namespace drovik::motor {

class Device {
public:
    // A slot beyond the frame's last is stored as the last one.
    static std::shared_ptr<Device> create(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode);

    std::uint8_t slot_index() const noexcept { return slot_index_; }
    std::uint32_t feedback_id() const noexcept { return feedback_id_; }
    MotorMode mode() const noexcept { return mode_; }

    float target() const;
    void set_target(float value);

    // Stores a whole WatchData; holds the watch lock only for the store.
    rt::Task<void> update_watch_data(WatchData data);
    // A copy of the last feedback, taken under the watch lock.
    rt::Task<WatchData> read_watch_data();

    Device(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode) noexcept;

private:
    const std::uint8_t slot_index_;
    const std::uint32_t feedback_id_;
    const MotorMode mode_;

    mutable std::mutex target_lock_;  // held for one load or one store
    float target_ = 0.0f;             // guarded by target_lock_

    rt::AsyncMutex watch_lock_;  // first come, first served
    WatchData watch_;            // guarded by watch_lock_
};

}  // namespace drovik::motor
