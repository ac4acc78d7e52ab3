// The background task of a CanDeviceAsync: opens the socket, writes what is
// queued and hands what it reads to the port's sink.
#pragma once

#include <memory>
#include <string>

#include "comm/can/can_message.hpp"
#include "comm/can/port.hpp"
#include "runtime/sched/task.hpp"
#include "runtime/sync/channel.hpp"

namespace drovik::comm::can {

// Serves both directions until its device is gone (its transmit queue closes)
// or a received frame can no longer be handed on.
// Failures are reported on standard error, never returned.
rt::Task<void> run_socket_task(std::string interface, rt::Receiver<CanMessage> transmit, std::shared_ptr<Port> port);

// The frame a queued message becomes, or the refusal of its length or identifier.
rt::Result<socketcan::CANFrame> frame_of(const CanMessage& message) noexcept;

}  // namespace drovik::comm::can
