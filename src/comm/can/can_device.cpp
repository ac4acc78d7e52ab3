#include "comm/can/can_device.hpp"

#include "comm/can/ready_wait.hpp"

namespace drovik::comm::can {

rt::Result<CanDevice> CanDevice::open(rt::Runtime& runtime, std::string_view interface) noexcept {
    auto socket = open_socket(interface);
    if (!socket) return socket.error();
    auto registration = rt::IoRegistration::create(runtime, socket->fd());
    if (!registration) return rt::Error{rt::ErrorKind::Other, socketcan::kIoErrorText};
    return CanDevice(std::move(socket).value(), std::move(registration).value());
}

}  // namespace drovik::comm::can
