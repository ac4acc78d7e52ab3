// One raw SocketCAN socket bound to one interface; closed exactly once, by its owner.
// The descriptor stays in blocking mode: each call says whether it may wait, so
// one socket serves the reactor's edge-triggered reads and a caller's waiting
// read alike.
// The socket also takes the controller's error frames, the kernel's receive
// time of each frame and its count of frames dropped for the socket: reads
// record the error frames and the drop count in the socket's BusHealth and hand
// on data and remote frames only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "comm/socketcan/bus_health.hpp"
#include "comm/socketcan/can_frame.hpp"
#include "runtime/result.hpp"

namespace drovik::socketcan {

inline constexpr const char* kOpenFailedText = "Failed to open CAN Socket";
inline constexpr const char* kIoErrorText = "IO error";

class CANSocket {
public:
    // Looks the interface up, opens a raw socket, asks for error frames, receive
    // times and drop counts, and binds it (blocking calls only). A failure to
    // find, open or bind reads "Failed to open CAN Socket", a refused option "IO
    // error"; nothing stays open.
    static rt::Result<CANSocket> open(std::string_view interface) noexcept;

    CANSocket(CANSocket&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), health_(std::move(other.health_)) {}
    CANSocket& operator=(CANSocket&& other) noexcept;
    CANSocket(const CANSocket&) = delete;
    CANSocket& operator=(const CANSocket&) = delete;
    ~CANSocket();

    // How long a waiting read waits before it gives up with EAGAIN.
    rt::Result<void> set_read_wait_limit(std::chrono::milliseconds limit) noexcept;
    // One read of one frame that never waits: 0, or the errno of the failure
    // (EAGAIN included; EIO for a short read). Numbers, not error values: EAGAIN
    // is the common answer. Error frames met on the way are recorded and passed
    // over. `received_ns`: when the kernel received the frame, CLOCK_REALTIME
    // nanoseconds (0 when it gave no time).
    int read_frame(CANFrame& frame, std::int64_t& received_ns) noexcept;
    int read_frame(CANFrame& frame) noexcept;
    // The same, waiting for a frame up to the read wait limit (then EAGAIN) or a
    // signal (EINTR): one system call where polling first would take two. An
    // error frame is recorded and ends the wait like a signal (EINTR), so that
    // a stream of them never stretches it: the caller's wait goes on.
    int read_frame_waiting(CANFrame& frame) noexcept;
    // Frames one read_frames call takes at most (its message headers live on the stack).
    static constexpr std::size_t kMostPerBatch = 16;
    // What the socket holds, up to frames.size() (at most kMostPerBatch), in one system call
    // that never waits: `count` frames read; `failure` is EAGAIN when the socket
    // was found empty, another errno when the call failed (or EIO when a short
    // frame was dropped), 0 when the batch filled and more may wait. Error
    // frames are recorded and left out, the frames around them kept in order;
    // received_ns[i] (same size as frames) is the receive time of frames[i].
    struct Batch {
        std::size_t count = 0;
        int failure = 0;
    };
    Batch read_frames(std::span<CANFrame> frames, std::span<std::int64_t> received_ns) noexcept;
    // One write of one frame that never waits: 0 or the errno; EAGAIN is for the
    // caller to wait out, any other failure counts as a frame not sent.
    int write_frame(const CANFrame& frame) noexcept;
    // A frame refused before any write (invalid), counted as not sent all the same.
    void count_unsendable() noexcept { health_->count_tx_failure(); }

    int fd() const noexcept { return fd_; }
    // Lives as long as the socket, wherever the socket is moved.
    const BusHealth& health() const noexcept { return *health_; }

private:
    explicit CANSocket(int fd) : fd_(fd), health_(std::make_unique<BusHealth>()) {}
    int fd_;
    std::unique_ptr<BusHealth> health_;
};

}  // namespace drovik::socketcan
