// The dict bus_state() returns, shared by every class that owns a CAN socket.
#pragma once

#include "comm/socketcan/bus_health.hpp"
#include "py/ref.hpp"
#include "py/signature.hpp"

namespace drovik::comm::can {

// Keys in order: state, error_frames, bus_off, restarts, tx_errors, rx_errors,
// rx_dropped, tx_failed.
py::Ref bus_state_dict(const socketcan::BusHealth::Report& report);

// The docstring body of every bus_state() method.
inline constexpr py::Literal kBusStateDoc =
    "读取总线状态与错误计数\n\n"
    "Returns:\n"
    "    dict with the keys state (\"active\", \"warning\", \"passive\", \"bus-off\", or \"unknown\"\n"
    "    before the controller reported one), error_frames, bus_off (entries into bus-off), restarts,\n"
    "    tx_errors / rx_errors (the controller's error counters, None until an error frame carried\n"
    "    them), rx_dropped (frames the kernel dropped for this socket: its receive buffer was full)\n"
    "    and tx_failed (frames that could not be sent)\n";

}  // namespace drovik::comm::can
