#include "instance/motor/device/device.hpp"

#include "instance/motor/protocol/broadcast_payload.hpp"

namespace drovik::motor {

Device::Device(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode) noexcept
    : slot_index_(broadcast_slot(slot_index)), feedback_id_(feedback_id), mode_(mode) {}

std::shared_ptr<Device> Device::create(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode) {
    return std::make_shared<Device>(slot_index, feedback_id, mode);
}

float Device::target() const {
    std::lock_guard guard(target_lock_);
    return target_;
}

void Device::set_target(float value) {
    std::lock_guard guard(target_lock_);
    target_ = value;
}

rt::Task<void> Device::update_watch_data(WatchData data) {
    auto guard = co_await watch_lock_.lock();
    watch_ = data;
}

rt::Task<WatchData> Device::read_watch_data() {
    auto guard = co_await watch_lock_.lock();
    co_return watch_;
}

}  // namespace drovik::motor
