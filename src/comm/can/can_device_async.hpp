// The non-blocking CAN device: a background socket task owns the socket, sends
// what callers queue and hands what arrives to a sink (by default the device's
// own receive queue). A send goes straight to the socket when nothing is queued
// ahead of it; a receive reads the socket itself when the queue is empty.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "comm/can/can_message.hpp"
#include "comm/can/port.hpp"
#include "comm/can/ready_wait.hpp"
#include "runtime/result.hpp"
#include "runtime/sched/join_handle.hpp"
#include "runtime/sync/channel.hpp"

namespace drovik::rt {
class Runtime;
}

namespace drovik::comm::can {

// The receive queue: every data frame the task reads, in arrival order, never
// dropped while the device exists. Guarded by the port's receive lock. It
// allocates only in make_room, with the lock let go: messages live in chunks,
// and one spare chunk is kept ready, so a batch always finds room once the
// port asked.
class ReceiveQueue final : public FrameSink {
public:
    struct Chunk;
    explicit ReceiveQueue(Port& port);
    ~ReceiveQueue() override;

    bool take(const socketcan::CANFrame& frame, std::int64_t received_ns, SinkLines& lines) override;
    bool has_room(std::size_t frames) const override;
    void make_room(std::unique_lock<std::mutex>& held) override;
    // A chunk it no longer needs goes to `spent`, to be freed once the lock is let go.
    std::optional<CanMessage> pop(std::unique_ptr<Chunk>& spent);

private:
    Port& port_;
    std::unique_ptr<Chunk> first_;
    Chunk* last_ = nullptr;
    std::unique_ptr<Chunk> spare_;
};

class CanDeviceAsync {
public:
    using Clock = std::chrono::steady_clock;

    // Spawns the socket task, which opens the interface itself: an unusable
    // interface shows only as a line on standard error and "channel closed"
    // later. Without a sink, received frames go to the device's receive queue.
    CanDeviceAsync(rt::Runtime& runtime, std::string interface, std::shared_ptr<FrameSink> sink = nullptr);
    CanDeviceAsync(CanDeviceAsync&&) noexcept = default;
    // Detaches the sink: the task ends at the next frame it reads.
    ~CanDeviceAsync();

    // Writes the frame at once when nothing is queued ahead of it and the socket
    // takes it; otherwise queues it for the socket task. Never waits. A frame
    // the socket refuses is reported on standard error like the task does.
    // Fails with "channel closed" once the task has ended.
    rt::Result<void> send_nonblocking(const CanMessage& message);

    // Only with the device's own receive queue, and one receiving caller at a
    // time (the Python face refuses a second one at once). The calling thread
    // waits keeping what it holds. The oldest queued message, else what the
    // socket holds now, read into the queue; none when there is none.
    std::optional<CanMessage> try_receive();
    // The next message within `limit_ms` of the wait's start; a queued or
    // readable one is returned even with no time left. Empty on time-out, when
    // keep_waiting says no, or once the task has ended and the queue is drained.
    std::optional<CanMessage> receive_within(std::uint64_t limit_ms, KeepWaiting keep_waiting);

    const std::string& interface() const noexcept { return interface_; }
    // Nothing reported before the task opened the socket.
    socketcan::BusHealth::Report bus_report() const noexcept;
    std::weak_ptr<Port> port() const noexcept { return port_; }

private:
    using Channel = std::pair<rt::Sender<CanMessage>, rt::Receiver<CanMessage>>;
    CanDeviceAsync(rt::Runtime& runtime, std::string interface, std::shared_ptr<FrameSink> sink, Channel transmit,
                   std::shared_ptr<Port> port);
    // Waits within limit_ms, or not at all without one.
    std::optional<CanMessage> receive(std::optional<std::uint64_t> limit_ms, KeepWaiting keep_waiting);

    std::string interface_;
    rt::Sender<CanMessage> transmit_;
    std::shared_ptr<Port> port_;
    std::shared_ptr<ReceiveQueue> queue_;  // null with another sink
    std::optional<rt::JoinHandle<void>> socket_task_;  // dropping it detaches the task
};

}  // namespace drovik::comm::can
