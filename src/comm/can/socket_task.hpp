// The background task of a CanDeviceAsync: the only user of its socket.
#pragma once

#include <string>

#include "comm/can/can_message.hpp"
#include "runtime/sched/task.hpp"
#include "runtime/sync/channel.hpp"

namespace drovik::comm::can {

// Opens `interface`, then serves both directions until a received frame can no
// longer be delivered. Failures are reported on standard error, never returned.
rt::Task<void> run_socket_task(std::string interface, rt::Receiver<CanMessage> transmit,
                               rt::Sender<CanMessage> received);

}  // namespace drovik::comm::can
