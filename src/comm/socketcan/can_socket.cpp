#include "comm/socketcan/can_socket.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "runtime/os_error.hpp"


namespace drovik::socketcan {

namespace {

constexpr std::size_t kMaxInterfaceName = 4096;

rt::Error open_failed() { return rt::Error{rt::ErrorKind::Other, kOpenFailedText}; }

}  // namespace

rt::Result<CANSocket> CANSocket::open(std::string_view interface) noexcept {
    if (interface.size() >= kMaxInterfaceName || interface.find('\0') != std::string_view::npos) {
        return open_failed();
    }
    std::string name(interface);
    unsigned index = if_nametoindex(name.c_str());
    if (index == 0) return open_failed();

    int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) return open_failed();
    CANSocket socket(fd);

    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) return open_failed();
    return socket;
}

CANSocket& CANSocket::operator=(CANSocket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

CANSocket::~CANSocket() {
    if (fd_ >= 0) ::close(fd_);
}

rt::Result<void> CANSocket::set_nonblocking(bool on) noexcept {
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0) return rt::os_error(errno);
    int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(fd_, F_SETFL, wanted) < 0) return rt::os_error(errno);
    return {};
}

int CANSocket::read_frame(CANFrame& frame) noexcept {
    frame = CANFrame();
    ssize_t n = ::read(fd_, &frame.raw(), sizeof(can_frame));
    if (n == static_cast<ssize_t>(sizeof(can_frame))) return 0;
    // A short read leaves errno as it was; report it as an I/O error then.
    return n < 0 ? errno : EIO;
}

int CANSocket::write_frame(const CANFrame& frame) noexcept {
    ssize_t n = ::write(fd_, &frame.raw(), sizeof(can_frame));
    if (n == static_cast<ssize_t>(sizeof(can_frame))) return 0;
    return n < 0 ? errno : EIO;
}

}  // namespace drovik::socketcan
