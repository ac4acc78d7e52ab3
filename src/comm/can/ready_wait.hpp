// Waiting on the calling thread, as the blocking calls do: for a frame to read,
// or for a refused write's socket to take frames again. The thread keeps
// whatever it holds (the interpreter lock included).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "comm/socketcan/can_frame.hpp"
#include "comm/socketcan/can_socket.hpp"
#include "runtime/result.hpp"
#include "runtime/time/deadline.hpp"

namespace drovik::comm::can {

using Clock = rt::Clock;

// Asked at least every 100 ms of a wait and after every interruption by a
// signal; false ends the wait (a signal handler raised).
using KeepWaiting = bool (*)();

enum class WaitEnd { Ready, Interrupted };

// The longest a wait sleeps before it asks keep_waiting again; also each
// socket's read wait limit.
inline constexpr auto kWaitSlice = std::chrono::milliseconds(100);

// A raw socket whose waiting reads last at most one slice, as read_waiting
// expects. Errors read "Failed to open CAN Socket" or "IO error".
rt::Result<socketcan::CANSocket> open_socket(std::string_view interface) noexcept;

// One data frame read on the calling thread within `limit_ms` (none: no limit),
// remote requests passed over. A wait of a slice or more is one waiting read, a
// shorter one a poll and a read. The clock is read only once a wait ends without
// a data frame, so a frame that comes in time costs no clock reading; when a
// signal cuts the first wait short, the limit counts from then, late by less than
// that wait (at most a slice). 0, or the errno: EAGAIN once the time is up (a
// frame already there is still read), EINTR when keep_waiting said no, else the
// read's own failure.
int read_waiting(socketcan::CANSocket& socket, std::optional<std::uint64_t> limit_ms, KeepWaiting keep_waiting,
                 socketcan::CANFrame& frame);

// After the kernel refused a write with EAGAIN: waits until the socket is
// writable and at least a millisecond has passed, so a refusal that outlasts
// writability (a controller that stays busy) costs retries at a calm pace.
WaitEnd wait_writable_after_refusal(int fd, KeepWaiting keep_waiting);

}  // namespace drovik::comm::can
