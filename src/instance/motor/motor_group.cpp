#include "instance/motor/motor_group.hpp"

#include "instance/motor/feedback_sink.hpp"
#include "instance/motor/protocol/broadcast_payload.hpp"
#include "runtime/runtime.hpp"

namespace drovik::motor {

std::optional<comm::can::CanMessage> DeviceList::frame(Frame kind) {
    BroadcastPayload payload;
    bool stop_targets = false;
    std::lock_guard guard(lock);
    for (const auto& device : devices) {
        std::optional<float> stop_target = kind == Frame::Stop ? device->stop_target() : std::nullopt;
        stop_targets |= stop_target.has_value();
        payload.place(device->slot_index(), device->mode(), stop_target.value_or(device->target()));
    }
    if (kind == Frame::Stop && !stop_targets) return std::nullopt;
    return comm::can::CanMessage::of(broadcast_id, payload.bytes());
}

MotorGroup::MotorGroup(rt::Runtime& runtime, std::string interface, std::uint32_t broadcast_id)
    : list_(std::make_shared<DeviceList>(broadcast_id)),
      can_(runtime, std::move(interface), std::make_shared<FeedbackSink>(list_)),
      safe_stop_(SafeStop::create(list_, can_.port())) {}

MotorGroup::~MotorGroup() {
    if (safe_stop_) safe_stop_->retire();
}

std::shared_ptr<Device> MotorGroup::add_device(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode) {
    auto device = Device::create(slot_index, feedback_id, mode, can_.port(), safe_stop_->hold());
    std::lock_guard guard(list_->lock);
    list_->devices.push_back(device);
    return device;
}

std::shared_ptr<Device> MotorGroup::device_in_slot(std::uint8_t slot_index) const {
    std::lock_guard guard(list_->lock);
    for (const auto& device : list_->devices) {
        if (device->slot_index() == slot_index) return device;
    }
    return nullptr;
}

std::size_t MotorGroup::device_count() const {
    std::lock_guard guard(list_->lock);
    return list_->devices.size();
}

rt::Result<void> MotorGroup::broadcast(Caller caller) {
    auto admitted = safe_stop_->admit(caller);
    if (!admitted) return {};
    return can_.send_nonblocking(*list_->frame(DeviceList::Frame::Targets));
}

}  // namespace drovik::motor
