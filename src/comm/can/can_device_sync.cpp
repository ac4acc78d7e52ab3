#include "comm/can/can_device_sync.hpp"

#include <cerrno>

#include "runtime/os_error.hpp"

namespace drovik::comm::can {

namespace {

rt::Error interruption() { return rt::Error{rt::ErrorKind::Aborted, "interrupted"}; }

}  // namespace

rt::Result<CanDeviceSync> CanDeviceSync::open(std::string interface) noexcept {
    auto socket = open_socket(interface);
    if (!socket) return socket.error();
    return CanDeviceSync(std::move(socket).value(), std::move(interface));
}

rt::Result<void> CanDeviceSync::send(std::uint32_t id, std::span<const std::uint8_t> payload,
                                     KeepWaiting keep_waiting) {
    auto frame = socketcan::CANFrame::make(id, payload);
    if (!frame) return frame.error();
    for (;;) {
        int failure = socket_.write_frame(frame.value());
        if (failure == 0) return {};
        if (failure != EAGAIN) return rt::os_error(failure);
        if (wait_writable_after_refusal(socket_.fd(), keep_waiting) == WaitEnd::Interrupted) return interruption();
    }
}

rt::Result<socketcan::CANFrame> CanDeviceSync::receive(KeepWaiting keep_waiting) {
    socketcan::CANFrame frame;
    int failure = read_waiting(socket_, std::nullopt, keep_waiting, frame);
    if (failure == EINTR) return interruption();
    if (failure != 0) return rt::os_error(failure);
    return frame;
}

}  // namespace drovik::comm::can
