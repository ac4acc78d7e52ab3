// A group's safe stop: when the program stops its work, every group that has a
// device with a stop target broadcasts once more, stop targets in their slots
// and current targets in the others, and then holds back its workers'
// broadcasts (stop_hold.hpp). One lock orders the stop frame against every
// broadcast of the group: a broadcast admitted before the stop has handed its
// frame on before the stop frame is assembled; one after it sees the hold.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "comm/can/port.hpp"
#include "instance/motor/stop_hold.hpp"

namespace drovik::motor {

struct DeviceList;

class SafeStop {
public:
    // Enlisted for stop_every_group() as long as it lives.
    static std::shared_ptr<SafeStop> create(std::shared_ptr<DeviceList> list, std::weak_ptr<comm::can::Port> port);

    // The hold a group's devices lift when the program sets a target.
    const std::shared_ptr<StopHold>& hold() const noexcept { return hold_; }

    // Held while a broadcast assembles its frame and hands it on; empty when
    // the broadcast is held back and must send nothing.
    std::optional<std::unique_lock<std::mutex>> admit(Caller caller);

    // Sends the stop frame when a device has a stop target; nothing otherwise.
    void stop();
    // The group goes: its last stop, and none after it.
    void retire();

    SafeStop(std::shared_ptr<DeviceList> list, std::weak_ptr<comm::can::Port> port);

private:
    void stop_locked();

    const std::shared_ptr<DeviceList> list_;
    const std::weak_ptr<comm::can::Port> port_;
    const std::shared_ptr<StopHold> hold_ = std::make_shared<StopHold>();

    std::mutex lock_;      // the group's broadcast lock; never taken under the list lock
    bool retired_ = false;  // guarded by lock_
};

// Every live group's stop(): for the program's stop paths (stop-all, exit).
void stop_every_group() noexcept;

}  // namespace drovik::motor
