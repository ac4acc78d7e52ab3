#include "instance/motor/motor_group.hpp"

#include "instance/motor/feedback_task.hpp"
#include "instance/motor/protocol/broadcast_payload.hpp"
#include "runtime/runtime.hpp"

namespace drovik::motor {

MotorGroup::MotorGroup(rt::Runtime& runtime, std::string interface, std::uint32_t broadcast_id)
    : can_(std::make_shared<comm::can::CanDeviceAsync>(runtime, std::move(interface))),
      list_(std::make_shared<DeviceList>()),
      receive_task_(runtime.spawn(receive_feedback(can_, list_))),
      broadcast_id_(broadcast_id) {}

MotorGroup::MotorGroup(MotorGroup&& other) noexcept
    : can_(std::move(other.can_)),
      list_(std::move(other.list_)),
      receive_task_(std::exchange(other.receive_task_, std::nullopt)),
      broadcast_id_(other.broadcast_id_) {}

MotorGroup::~MotorGroup() {
    if (receive_task_) receive_task_->abort();
}

std::shared_ptr<Device> MotorGroup::add_device(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode) {
    auto device = Device::create(slot_index, feedback_id, mode);
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

rt::Result<void> MotorGroup::broadcast() {
    BroadcastPayload payload;
    {
        std::lock_guard guard(list_->lock);
        for (const auto& device : list_->devices) payload.place(device->slot_index(), device->mode(), device->target());
    }
    const auto& bytes = payload.bytes();
    return can_->send_nonblocking(broadcast_id_, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

}  // namespace drovik::motor
