#include "comm/socketcan/can_socket.hpp"

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
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

// Every class of error frame, the receive time of each frame and the count of
// frames the kernel dropped for want of room.
bool ask_for_bus_reports(int fd) noexcept {
    const can_err_mask_t every_error = CAN_ERR_MASK;
    const int on = 1;
    return ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &every_error, sizeof every_error) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
}

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
    // Before bind, so no frame arrives without its time and count.
    if (!ask_for_bus_reports(fd)) return rt::Error{rt::ErrorKind::Other, kIoErrorText};

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
        health_ = std::move(other.health_);
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

// Room for what the socket adds to a frame: its receive time and, once the
// kernel dropped any, its drop count.
constexpr std::size_t kControlRoom = CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t));

struct Control {
    alignas(cmsghdr) unsigned char bytes[kControlRoom];
};

void prepare(msghdr& header, iovec& slot, CANFrame& frame, Control& control) noexcept {
    // A frame is only used once the kernel wrote all of it.
    slot = iovec{&frame.raw(), sizeof(can_frame)};
    header = msghdr{};
    header.msg_iov = &slot;
    header.msg_iovlen = 1;
    header.msg_control = control.bytes;
    header.msg_controllen = sizeof control.bytes;
}

// The receive time (0 when none came); a drop count goes to `health`.
std::int64_t take_control(msghdr& header, BusHealth& health) noexcept {
    std::int64_t received_ns = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_TIMESTAMPNS && c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            received_ns = std::int64_t{stamp.tv_sec} * 1'000'000'000 + stamp.tv_nsec;
        } else if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(std::uint32_t))) {
            std::uint32_t dropped;
            std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
            health.take_drop_count(dropped);
        }
    }
    return received_ns;
}

bool is_error_frame(const CANFrame& frame) noexcept { return (frame.id_word() & CAN_ERR_FLAG) != 0; }

// One frame; -1 with `failure` set, 0 for a data or remote frame, 1 for an
// error frame (recorded).
int read_one(int fd, CANFrame& frame, int flags, BusHealth& health, std::int64_t& received_ns,
             int& failure) noexcept {
    frame = CANFrame();
    iovec slot;
    msghdr header;
    Control control;
    prepare(header, slot, frame, control);
    ssize_t n = ::recvmsg(fd, &header, flags);
    if (n != static_cast<ssize_t>(sizeof(can_frame))) {
        // A short read leaves errno as it was; report it as an I/O error then. A
        // waiting read that timed out says EWOULDBLOCK, which is EAGAIN on Linux.
        failure = n < 0 ? errno : EIO;
        return -1;
    }
    received_ns = take_control(header, health);
    if (is_error_frame(frame)) {
        health.take_error_frame(frame.raw());
        return 1;
    }
    return 0;
}

}  // namespace

int CANSocket::read_frame(CANFrame& frame, std::int64_t& received_ns) noexcept {
    int failure = 0;
    for (;;) {
        int read = read_one(fd_, frame, MSG_DONTWAIT, *health_, received_ns, failure);
        if (read < 0) return failure;
        if (read == 0) return 0;
    }
}

int CANSocket::read_frame(CANFrame& frame) noexcept {
    std::int64_t received_ns;
    return read_frame(frame, received_ns);
}

int CANSocket::read_frame_waiting(CANFrame& frame) noexcept {
    int failure = 0;
    std::int64_t received_ns;
    int read = read_one(fd_, frame, 0, *health_, received_ns, failure);
    if (read < 0) return failure;
    return read == 0 ? 0 : EINTR;
}

CANSocket::Batch CANSocket::read_frames(std::span<CANFrame> frames, std::span<std::int64_t> received_ns) noexcept {
    std::array<iovec, kMostPerBatch> slots;
    std::array<mmsghdr, kMostPerBatch> messages;
    std::array<Control, kMostPerBatch> controls;
    std::size_t asked = std::min({frames.size(), received_ns.size(), kMostPerBatch});
    for (std::size_t i = 0; i < asked; ++i) {
        messages[i] = mmsghdr{};
        prepare(messages[i].msg_hdr, slots[i], frames[i], controls[i]);
    }
    int n = ::recvmmsg(fd_, messages.data(), static_cast<unsigned>(asked), MSG_DONTWAIT, nullptr);
    if (n < 0) return {0, errno};
    auto read = static_cast<std::size_t>(n);
    // A short frame is lost like a short read, and reported; an error frame is
    // recorded. The frames around them stand, in order.
    std::size_t kept = 0;
    bool short_frame = false;
    for (std::size_t i = 0; i < read; ++i) {
        if (messages[i].msg_len != sizeof(can_frame)) {
            short_frame = true;
            continue;
        }
        std::int64_t stamp = take_control(messages[i].msg_hdr, *health_);
        if (is_error_frame(frames[i])) {
            health_->take_error_frame(frames[i].raw());
            continue;
        }
        if (kept != i) frames[kept] = frames[i];
        received_ns[kept] = stamp;
        ++kept;
    }
    if (short_frame) return {kept, EIO};
    // A batch cut short ended at an empty socket: the kernel keeps any other
    // error for the next call.
    return {kept, read == asked ? 0 : EAGAIN};
}

int CANSocket::write_frame(const CANFrame& frame) noexcept {
    ssize_t n = ::send(fd_, &frame.raw(), sizeof(can_frame), MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(sizeof(can_frame))) return 0;
    int failure = n < 0 ? errno : EIO;
    if (failure != EAGAIN) health_->count_tx_failure();
    return failure;
}

}  // namespace drovik::socketcan
