// A broadcast group: one CAN interface, one broadcast identifier and the list
// of its drivers. broadcast() packs every target into one frame; the CAN
// device's socket task stores each driver's feedback into it as it reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "comm/can/can_device_async.hpp"
#include "comm/can/can_message.hpp"
#include "instance/motor/device/device.hpp"
#include "instance/motor/protocol/watch_data.hpp"
#include "instance/motor/safe_stop.hpp"
#include "runtime/result.hpp"

namespace drovik::rt {
class Runtime;
}

namespace drovik::motor {

// The drivers in the order they were added, and the identifier of the frames
// that carry their targets; shared with the receive task and the safe stop.
struct DeviceList {
    enum class Frame { Targets, Stop };

    explicit DeviceList(std::uint32_t id) : broadcast_id(id) {}

    // One frame of every driver's target; a Stop frame has each driver's stop
    // target in place of its target where it has one, and is empty when none has.
    std::optional<comm::can::CanMessage> frame(Frame kind);

    const std::uint32_t broadcast_id;

    std::mutex lock;                              // never held across a wait
    std::vector<std::shared_ptr<Device>> devices;  // guarded by lock
};

class MotorGroup {
public:
    // Starts the CAN device, whose task stores the feedback; the interface opens
    // later, in that task, so this does not fail for a missing interface.
    MotorGroup(rt::Runtime& runtime, std::string interface, std::uint32_t broadcast_id);
    MotorGroup(MotorGroup&& other) noexcept = default;
    MotorGroup& operator=(MotorGroup&&) = delete;
    // Sends the safe stop's last frame (safe_stop.hpp) while the socket is still there.
    ~MotorGroup();

    std::shared_ptr<Device> add_device(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode);
    // The first device in list order occupying the slot, if any.
    std::shared_ptr<Device> device_in_slot(std::uint8_t slot_index) const;
    std::size_t device_count() const;
    // Queues one frame with every target; fails only when the CAN device's task
    // has ended. After a safe stop, a worker's broadcast sends nothing (stop_hold.hpp).
    rt::Result<void> broadcast(Caller caller = Caller::Program);

    std::uint32_t broadcast_id() const noexcept { return list_->broadcast_id; }
    socketcan::BusHealth::Report bus_report() const noexcept { return can_.bus_report(); }

private:
    std::shared_ptr<DeviceList> list_;
    // Destroyed before the list goes: it stops storing feedback as it goes.
    comm::can::CanDeviceAsync can_;
    std::shared_ptr<SafeStop> safe_stop_;  // null once moved from
};

}  // namespace drovik::motor
