// One motor driver of a broadcast group: its slot, feedback identifier and
// mode, the target the next broadcast sends, and its last decoded feedback.
// Shared by the group's list, every Python Device wrapping it, and the receive
// task while it stores feedback.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "comm/can/port.hpp"
#include "instance/motor/protocol/motor_mode.hpp"
#include "instance/motor/stop_hold.hpp"
#include "instance/motor/protocol/watch_data.hpp"

namespace drovik::motor {

class Device {
public:
    // A slot beyond the frame's last is stored as the last one.
    static std::shared_ptr<Device> create(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode,
                                          std::weak_ptr<comm::can::Port> feedback_port = {},
                                          std::shared_ptr<StopHold> hold = nullptr);

    std::uint8_t slot_index() const noexcept { return slot_index_; }
    std::uint32_t feedback_id() const noexcept { return feedback_id_; }
    MotorMode mode() const noexcept { return mode_; }

    float target() const;
    // A target the program sets lifts its group's hold after a stop (stop_hold.hpp).
    void set_target(float value, Caller caller = Caller::Program);

    // What the stop frame carries for this slot instead of the target; none: the target.
    std::optional<float> stop_target() const;
    void set_stop_target(std::optional<float> value);

    // Stores a whole WatchData, or copies it out: the watch lock is held only
    // for that copy, so neither the storing socket task nor a reader waits long.
    // `received_ns` is when the kernel received the frame, on CLOCK_MONOTONIC.
    void update_watch_data(const WatchData& data, std::int64_t received_ns);
    // The last feedback, after storing whatever the group's socket holds now:
    // a reader that keeps the processor busy does not wait for the socket task.
    WatchData watch_data() const;

    // Seconds since the kernel received the last feedback frame stored here
    // (after catching up like watch_data), none before the first.
    std::optional<double> feedback_age() const;
    std::uint64_t feedback_count() const noexcept { return feedback_count_.load(std::memory_order_relaxed); }

    Device(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode,
           std::weak_ptr<comm::can::Port> feedback_port, std::shared_ptr<StopHold> hold) noexcept;

private:
    const std::uint8_t slot_index_;
    const std::uint32_t feedback_id_;
    const MotorMode mode_;
    const std::weak_ptr<comm::can::Port> feedback_port_;  // of the group that feeds it
    const std::shared_ptr<StopHold> hold_;                // of its group; null outside one

    mutable std::mutex target_lock_;  // held for one load or one store
    float target_ = 0.0f;             // guarded by target_lock_
    std::optional<float> stop_target_;  // guarded by target_lock_

    mutable std::mutex watch_lock_;  // held for one twelve-byte copy
    WatchData watch_;                // guarded by watch_lock_

    // Written by the one reader of the socket at a time, after the watch data.
    std::atomic<std::int64_t> feedback_received_ns_{0};  // CLOCK_MONOTONIC; 0: none yet
    std::atomic<std::uint64_t> feedback_count_{0};
};

}  // namespace drovik::motor
