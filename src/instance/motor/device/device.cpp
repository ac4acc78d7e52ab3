#include "instance/motor/device/device.hpp"

#include <algorithm>
#include <chrono>

#include "instance/motor/protocol/broadcast_payload.hpp"

namespace drovik::motor {

Device::Device(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode,
               std::weak_ptr<comm::can::Port> feedback_port, std::shared_ptr<StopHold> hold) noexcept
    : slot_index_(broadcast_slot(slot_index)),
      feedback_id_(feedback_id),
      mode_(mode),
      feedback_port_(std::move(feedback_port)),
      hold_(std::move(hold)) {}

std::shared_ptr<Device> Device::create(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode,
                                       std::weak_ptr<comm::can::Port> feedback_port, std::shared_ptr<StopHold> hold) {
    return std::make_shared<Device>(slot_index, feedback_id, mode, std::move(feedback_port), std::move(hold));
}

float Device::target() const {
    std::lock_guard guard(target_lock_);
    return target_;
}

void Device::set_target(float value, Caller caller) {
    {
        std::lock_guard guard(target_lock_);
        target_ = value;
    }
    if (caller == Caller::Program && hold_) hold_->lift();
}

std::optional<float> Device::stop_target() const {
    std::lock_guard guard(target_lock_);
    return stop_target_;
}

void Device::set_stop_target(std::optional<float> value) {
    std::lock_guard guard(target_lock_);
    stop_target_ = value;
}

void Device::update_watch_data(const WatchData& data, std::int64_t received_ns) {
    {
        std::lock_guard guard(watch_lock_);
        watch_ = data;
    }
    // Never 0 once a frame came: 0 means none.
    feedback_received_ns_.store(received_ns != 0 ? received_ns : 1, std::memory_order_relaxed);
    feedback_count_.store(feedback_count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

WatchData Device::watch_data() const {
    if (auto port = feedback_port_.lock()) port->catch_up();
    std::lock_guard guard(watch_lock_);
    return watch_;
}

std::optional<double> Device::feedback_age() const {
    if (auto port = feedback_port_.lock()) port->catch_up();
    std::int64_t received = feedback_received_ns_.load(std::memory_order_relaxed);
    if (received == 0) return std::nullopt;
    // steady_clock is CLOCK_MONOTONIC on Linux, the clock of the stored time.
    std::int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    return static_cast<double>(std::max<std::int64_t>(now_ns - received, 0)) / 1e9;
}

}  // namespace drovik::motor
