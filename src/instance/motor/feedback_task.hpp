// The background task of a broadcast group: feedback frames into their drivers.
#pragma once

#include <memory>

#include "comm/can/can_device_async.hpp"
#include "runtime/sched/task.hpp"

namespace drovik::motor {

struct DeviceList;

// Runs until aborted. Wrong lengths and unclaimed identifiers are reported on
// standard error and dropped.
rt::Task<void> receive_feedback(std::shared_ptr<comm::can::CanDeviceAsync> can, std::shared_ptr<DeviceList> list);

}  // namespace drovik::motor
