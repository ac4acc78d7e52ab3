// The socket device: a non-blocking raw CAN socket registered with the runtime's
// reactor, offering exactly an asynchronous send and receive. One party uses it
// at a time; it must not move while one of its operations is in flight.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "comm/socketcan/can_frame.hpp"
#include "comm/socketcan/can_socket.hpp"
#include "runtime/io/io_registration.hpp"
#include "runtime/result.hpp"
#include "runtime/sched/task.hpp"

namespace drovik::rt {
class Runtime;
}

namespace drovik::comm::can {

class CanDevice {
public:
    // Opens, switches to non-blocking mode and registers with `runtime`'s reactor.
    // Errors read "Failed to open CAN Socket" or "IO error".
    static rt::Result<CanDevice> open(rt::Runtime& runtime, std::string_view interface) noexcept;

    CanDevice(CanDevice&&) noexcept = default;
    CanDevice& operator=(CanDevice&&) noexcept = default;

    // Builds the frame (invalid input fails at once, nothing written), waits for
    // write readiness, then writes it. `payload` must live until the task ends.
    rt::Task<rt::Result<void>> send(std::uint32_t id, std::span<const std::uint8_t> payload);
    // The next frame, or the error of a read or of the readiness wait.
    rt::Task<rt::Result<socketcan::CANFrame>> receive();

private:
    CanDevice(socketcan::CANSocket socket, rt::IoRegistration registration) noexcept
        : socket_(std::move(socket)), registration_(std::move(registration)) {}

    // Declared first, destroyed last: the registration goes before the descriptor closes.
    socketcan::CANSocket socket_;
    rt::IoRegistration registration_;
};

}  // namespace drovik::comm::can
