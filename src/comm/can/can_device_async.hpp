// The non-blocking CAN device: a background socket task owns the socket, sends
// what callers queue and hands what arrives to a sink (by default the device's
// own receive queue). A send goes straight to the socket when nothing is queued
// ahead of it; a receive reads the socket itself when the queue is empty.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
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
// dropped while the device exists. Guarded by the port's receive_lock.
class ReceiveQueue final : public FrameSink {
public:
    explicit ReceiveQueue(Port& port) : port_(port) {}
    bool take(const socketcan::CANFrame& frame, std::int64_t received_ns) override;
    std::optional<CanMessage> pop();

private:
    Port& port_;
    std::deque<CanMessage> messages_;
};

// Consumers take turns in the order they arrive; a turn lasts a whole wait.
class ConsumerTurns {
public:
    class Turn {
    public:
        explicit Turn(ConsumerTurns& turns) : turns_(turns) {}
        Turn(const Turn&) = delete;
        ~Turn() { turns_.next(); }

    private:
        ConsumerTurns& turns_;
    };
    Turn wait_for_turn();

private:
    void next();
    std::mutex mu_;
    std::condition_variable served_;
    std::uint64_t issued_ = 0;   // guarded by mu_
    std::uint64_t serving_ = 0;  // guarded by mu_
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

    // Only with the device's own receive queue. The calling thread waits (for
    // its turn, then for a frame) keeping what it holds. The oldest queued
    // message, else one read from the socket now; none when there is none.
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
    std::unique_ptr<ConsumerTurns> turns_;
    std::optional<rt::JoinHandle<void>> socket_task_;  // dropping it detaches the task
};

}  // namespace drovik::comm::can
