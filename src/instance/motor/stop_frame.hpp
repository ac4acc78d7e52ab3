// The last frame a group sends when the program stops. It is written on the
// calling thread, so it is on the wire (or reported) when the call returns,
// and only once every frame queued before it was written: nothing older
// follows it. A refusal (a full buffer, a link that is down, a socket not open
// yet) is retried for up to 50 ms; a frame that never went out is reported with
// one line on standard error.
#pragma once

#include "comm/can/can_message.hpp"
#include "comm/can/port.hpp"

namespace drovik::motor {

// Holds the port's write turn only for each write.
void send_stop_frame(comm::can::Port& port, const comm::can::CanMessage& message);

}  // namespace drovik::motor
