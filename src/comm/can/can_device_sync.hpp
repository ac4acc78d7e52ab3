// The device behind CanDevice: a raw socket that the calling thread reads and
// writes itself, waiting on the spot when it must, like a plain socket loop
// would: a receive is one waiting read. No background work is involved.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "comm/can/ready_wait.hpp"
#include "comm/socketcan/can_frame.hpp"
#include "comm/socketcan/can_socket.hpp"
#include "runtime/result.hpp"

namespace drovik::comm::can {

// The error of a wait that keep_waiting ended (a signal handler raised).
inline bool interrupted(const rt::Error& error) noexcept { return error.kind == rt::ErrorKind::Aborted; }

class CanDeviceSync {
public:
    // Errors read "Failed to open CAN Socket" or "IO error".
    static rt::Result<CanDeviceSync> open(std::string interface) noexcept;

    // Builds the frame (invalid input fails before any write), writes it, and
    // while the kernel answers EAGAIN waits for writability and writes again.
    rt::Result<void> send(std::uint32_t id, std::span<const std::uint8_t> payload, KeepWaiting keep_waiting);
    // The next data frame; remote requests are passed over, since they carry no data.
    rt::Result<socketcan::CANFrame> receive(KeepWaiting keep_waiting);

    const std::string& interface() const noexcept { return interface_; }
    socketcan::BusHealth::Report bus_report() const noexcept { return socket_.health().report(); }

private:
    CanDeviceSync(socketcan::CANSocket socket, std::string interface) noexcept
        : socket_(std::move(socket)), interface_(std::move(interface)) {}

    socketcan::CANSocket socket_;
    std::string interface_;
};

}  // namespace drovik::comm::can
