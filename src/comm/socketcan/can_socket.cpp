#include "comm/socketcan/can_socket.hpp"

#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

rt::Result<void> CANSocket::set_read_wait_limit(std::chrono::milliseconds limit) noexcept {
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(limit.count() / 1000);
    wait.tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) < 0) return rt::os_error(errno);
    return {};
}

namespace {

int read_one(int fd, CANFrame& frame, int flags) noexcept {
    frame = CANFrame();
    ssize_t n = ::recv(fd, &frame.raw(), sizeof(can_frame), flags);
    if (n == static_cast<ssize_t>(sizeof(can_frame))) return 0;
    // A short read leaves errno as it was; report it as an I/O error then. A
    // waiting read that timed out says EWOULDBLOCK, which is EAGAIN on Linux.
    return n < 0 ? errno : EIO;
}

}  // namespace

int CANSocket::read_frame(CANFrame& frame) noexcept { return read_one(fd_, frame, MSG_DONTWAIT); }

int CANSocket::read_frame_waiting(CANFrame& frame) noexcept { return read_one(fd_, frame, 0); }

CANSocket::Batch CANSocket::read_frames(std::span<CANFrame> frames) noexcept {
    std::array<iovec, kMostPerBatch> slots;
    std::array<mmsghdr, kMostPerBatch> messages;
    std::size_t asked = std::min(frames.size(), kMostPerBatch);
    for (std::size_t i = 0; i < asked; ++i) {
        // A frame is only used once the kernel wrote all of it.
        slots[i] = iovec{&frames[i].raw(), sizeof(can_frame)};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_iov = &slots[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int n = ::recvmmsg(fd_, messages.data(), static_cast<unsigned>(asked), MSG_DONTWAIT, nullptr);
    if (n < 0) return {0, errno};
    auto read = static_cast<std::size_t>(n);
    // A short frame is lost like a short read, and reported; the frames around it stand, in order.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < read; ++i) {
        if (messages[i].msg_len != sizeof(can_frame)) continue;
        if (kept != i) frames[kept] = frames[i];
        ++kept;
    }
    if (kept != read) return {kept, EIO};
    // A batch cut short ended at an empty socket: the kernel keeps any other
    // error for the next call.
    return {read, read == asked ? 0 : EAGAIN};
}

int CANSocket::write_frame(const CANFrame& frame) noexcept {
    ssize_t n = ::send(fd_, &frame.raw(), sizeof(can_frame), MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(sizeof(can_frame))) return 0;
    return n < 0 ? errno : EIO;
}

}  // namespace drovik::socketcan
