#include "instance/motor/device/device.hpp"

#include "instance/motor/protocol/broadcast_payload.hpp"

namespace drovik::motor {

Device::Device(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode,
               std::weak_ptr<comm::can::Port> feedback_port) noexcept
    : slot_index_(broadcast_slot(slot_index)),
      feedback_id_(feedback_id),
      mode_(mode),
      feedback_port_(std::move(feedback_port)) {}

std::shared_ptr<Device> Device::create(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode,
                                       std::weak_ptr<comm::can::Port> feedback_port) {
    return std::make_shared<Device>(slot_index, feedback_id, mode, std::move(feedback_port));
}

float Device::target() const {
    std::lock_guard guard(target_lock_);
    return target_;
}

void Device::set_target(float value) {
    std::lock_guard guard(target_lock_);
    target_ = value;
}

void Device::update_watch_data(const WatchData& data) {
    std::lock_guard guard(watch_lock_);
    watch_ = data;
}

WatchData Device::watch_data() const {
    if (auto port = feedback_port_.lock()) port->catch_up();
    std::lock_guard guard(watch_lock_);
    return watch_;
}

}  // namespace drovik::motor
