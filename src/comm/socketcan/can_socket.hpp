// One raw SocketCAN socket bound to one interface; closed exactly once, by its owner.
// The descriptor stays in blocking mode: each call says whether it may wait, so
// one socket serves the reactor's edge-triggered reads and a caller's waiting
// read alike.
#pragma once

#include <chrono>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "comm/socketcan/can_frame.hpp"
#include "runtime/result.hpp"

namespace drovik::socketcan {

inline constexpr const char* kOpenFailedText = "Failed to open CAN Socket";
inline constexpr const char* kIoErrorText = "IO error";

class CANSocket {
public:
    // Looks the interface up, opens a raw socket and binds it (blocking calls
    // only). Every failure reads "Failed to open CAN Socket"; nothing stays open.
    static rt::Result<CANSocket> open(std::string_view interface) noexcept;

    CANSocket(CANSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    CANSocket& operator=(CANSocket&& other) noexcept;
    CANSocket(const CANSocket&) = delete;
    CANSocket& operator=(const CANSocket&) = delete;
    ~CANSocket();

    // How long a waiting read waits before it gives up with EAGAIN.
    rt::Result<void> set_read_wait_limit(std::chrono::milliseconds limit) noexcept;
    // One read of one frame that never waits: 0, or the errno of the failure
    // (EAGAIN included; EIO for a short read). Numbers, not error values: EAGAIN
    // is the common answer.
    int read_frame(CANFrame& frame) noexcept;
    // The same, waiting for a frame up to the read wait limit (then EAGAIN) or a
    // signal (EINTR): one system call where polling first would take two.
    int read_frame_waiting(CANFrame& frame) noexcept;
    // Frames one read_frames call takes at most (its message headers live on the stack).
    static constexpr std::size_t kMostPerBatch = 16;
    // What the socket holds, up to frames.size() (at most kMostPerBatch), in one system call
    // that never waits: `count` frames read; `failure` is EAGAIN when the socket
    // was found empty, another errno when the call failed (or EIO when a short
    // frame was dropped), 0 when the batch filled and more may wait.
    struct Batch {
        std::size_t count = 0;
        int failure = 0;
    };
    Batch read_frames(std::span<CANFrame> frames) noexcept;
    // One write of one frame that never waits: 0 or the errno; EAGAIN is for the
    // caller to wait out.
    int write_frame(const CANFrame& frame) noexcept;

    int fd() const noexcept { return fd_; }

private:
    explicit CANSocket(int fd) noexcept : fd_(fd) {}
    int fd_;
};

}  // namespace drovik::socketcan
