// The socket device: a raw CAN socket registered with the runtime's
// reactor. The socket task waits on its readiness; the task and the callers of
// its CanDeviceAsync read and write it under the locks of their Port.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "comm/socketcan/can_frame.hpp"
#include "comm/socketcan/can_socket.hpp"
#include "runtime/io/io_registration.hpp"
#include "runtime/result.hpp"

namespace drovik::rt {
class Runtime;
}

namespace drovik::comm::can {

class CanDevice {
public:
    // Opens, limits a waiting read to one wait slice and registers with
    // `runtime`'s reactor.
    // Errors read "Failed to open CAN Socket" or "IO error".
    static rt::Result<CanDevice> open(rt::Runtime& runtime, std::string_view interface) noexcept;

    CanDevice(CanDevice&&) noexcept = default;
    CanDevice& operator=(CanDevice&&) noexcept = default;

    // One read or write: 0 or the errno (EAGAIN when it would block); reads
    // give the kernel's receive time where asked (see CANSocket).
    int read(socketcan::CANFrame& frame) noexcept { return socket_.read_frame(frame); }
    int read(socketcan::CANFrame& frame, std::int64_t& received_ns) noexcept {
        return socket_.read_frame(frame, received_ns);
    }
    socketcan::CANSocket::Batch read(std::span<socketcan::CANFrame> frames,
                                     std::span<std::int64_t> received_ns) noexcept {
        return socket_.read_frames(frames, received_ns);
    }
    int write(const socketcan::CANFrame& frame) noexcept { return socket_.write_frame(frame); }
    void count_unsendable() noexcept { socket_.count_unsendable(); }
    int fd() const noexcept { return socket_.fd(); }
    const socketcan::BusHealth& health() const noexcept { return socket_.health(); }
    // For a caller's waiting read on its own thread (see read_waiting).
    socketcan::CANSocket& socket() noexcept { return socket_; }

    // Readiness as the reactor last reported it; after EAGAIN, clear it so that
    // the next wait is for a new edge.
    rt::ReadinessWait readable() { return registration_.readable(); }
    rt::ReadinessWait writable() { return registration_.writable(); }
    void clear_read_ready() { registration_.clear_read_ready(); }
    void clear_write_ready() { registration_.clear_write_ready(); }
    rt::Result<void> watch_writes(bool on) { return registration_.watch_writes(on); }
    rt::Result<void> watch_reads(bool on) { return registration_.watch_reads(on); }

    // For a caller that reads on its own thread meanwhile (see IoRegistration).
    std::uint64_t events_seen() { return registration_.events_seen(); }
    rt::Waker take_reader() { return registration_.take_reader(); }
    bool rearm_reader(std::uint64_t seen_events, const rt::Waker& waker) {
        return registration_.rearm_reader(seen_events, waker);
    }

private:
    CanDevice(socketcan::CANSocket socket, rt::IoRegistration registration) noexcept
        : socket_(std::move(socket)), registration_(std::move(registration)) {}

    // Declared first, destroyed last: the registration goes before the descriptor closes.
    socketcan::CANSocket socket_;
    rt::IoRegistration registration_;
};

}  // namespace drovik::comm::can
