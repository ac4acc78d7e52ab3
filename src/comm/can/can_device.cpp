#include "comm/can/can_device.hpp"

#include <cerrno>

namespace drovik::comm::can {

rt::Result<CanDevice> CanDevice::open(rt::Runtime& runtime, std::string_view interface) noexcept {
    auto socket = socketcan::CANSocket::open(interface);
    if (!socket) return socket.error();
    if (!socket->set_nonblocking(true)) return rt::Error{rt::ErrorKind::Other, socketcan::kIoErrorText};
    auto registration = rt::IoRegistration::create(runtime, socket->fd());
    if (!registration) return rt::Error{rt::ErrorKind::Other, socketcan::kIoErrorText};
    return CanDevice(std::move(socket).value(), std::move(registration).value());
}

rt::Task<rt::Result<void>> CanDevice::send(std::uint32_t id, std::span<const std::uint8_t> payload) {
    auto frame = socketcan::CANFrame::make(id, payload);
    if (!frame) co_return frame.error();
    if (auto ready = co_await registration_.writable(); !ready) co_return ready.error();
    co_return socket_.write_frame_insist(frame.value());
}

rt::Task<rt::Result<socketcan::CANFrame>> CanDevice::receive() {
    for (;;) {
        if (auto ready = co_await registration_.readable(); !ready) co_return ready.error();
        auto frame = socket_.read_frame();
        if (frame || frame.error().os_code != EAGAIN) co_return frame;
        // Drained: wait for the next edge instead of reading again.
        registration_.clear_read_ready();
    }
}

}  // namespace drovik::comm::can
