// A broadcast group: one CAN interface, one broadcast identifier and the list
// of its drivers. broadcast() packs every target into one frame; a background
// task stores each driver's feedback into it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "comm/can/can_device_async.hpp"
#include "instance/motor/device/device.hpp"
#include "instance/motor/protocol/watch_data.hpp"
#include "runtime/result.hpp"
#include "runtime/sched/join_handle.hpp"

namespace drovik::rt {
class Runtime;
}

namespace drovik::motor {

// The drivers in the order they were added; shared with the receive task.
struct DeviceList {
    std::mutex lock;                              // never held across a wait
    std::vector<std::shared_ptr<Device>> devices;  // guarded by lock
};

class MotorGroup {
public:
    // Starts the CAN device and the feedback task; the interface opens later, in
    // the CAN device's own task, so this does not fail for a missing interface.
    MotorGroup(rt::Runtime& runtime, std::string interface, std::uint32_t broadcast_id);
    MotorGroup(MotorGroup&& other) noexcept;
    MotorGroup& operator=(MotorGroup&&) = delete;
    // Cancels the feedback task before the group lets go of what it shares with it.
    ~MotorGroup();

    std::shared_ptr<Device> add_device(std::uint8_t slot_index, std::uint32_t feedback_id, MotorMode mode);
    // The first device in list order occupying the slot, if any.
    std::shared_ptr<Device> device_in_slot(std::uint8_t slot_index) const;
    std::size_t device_count() const;
    // Queues one frame with every target; fails only when the CAN device's task has ended.
    rt::Result<void> broadcast();

    std::uint32_t broadcast_id() const noexcept { return broadcast_id_; }

private:
    std::shared_ptr<comm::can::CanDeviceAsync> can_;
    std::shared_ptr<DeviceList> list_;
    std::optional<rt::JoinHandle<void>> receive_task_;  // empty only in a moved-from group
    std::uint32_t broadcast_id_;
};

}  // namespace drovik::motor
