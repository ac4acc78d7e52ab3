// The non-blocking CAN device: a background socket task owns the socket device,
// sends what callers queue and queues what arrives. Callers never wait for the
// bus; receivers wait only for the receive queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comm/can/can_message.hpp"
#include "runtime/result.hpp"
#include "runtime/sched/join_handle.hpp"
#include "runtime/sched/task.hpp"
#include "runtime/sync/async_mutex.hpp"
#include "runtime/sync/channel.hpp"

namespace drovik::rt {
class Runtime;
}

namespace drovik::comm::can {

// The consumer end of the receive queue. Consumers hold `lock` for their whole
// wait, so they are served one at a time, in arrival order.
struct ReceiveQueue {
    explicit ReceiveQueue(rt::Receiver<CanMessage> messages) : messages(std::move(messages)) {}

    rt::AsyncMutex lock;
    rt::Receiver<CanMessage> messages;  // guarded by `lock`
};

class CanDeviceAsync {
public:
    // Spawns the socket task, which opens the interface itself: an unusable
    // interface shows only as a line on standard error and "channel closed" later.
    CanDeviceAsync(rt::Runtime& runtime, std::string interface);

    // Queues a frame for the socket task; never waits, checks neither id nor length.
    // Fails with "channel closed" once the task has ended.
    rt::Result<void> send_nonblocking(std::uint32_t id, std::vector<std::uint8_t> data);

    // The oldest queued message, if any; waits only for another consumer.
    rt::Task<std::optional<CanMessage>> try_receive() const;
    // The next message within `timeout_ms` (the wait for the lock not counted);
    // a queued message is returned even with 0. Empty on time-out or once the
    // task has ended and the queue is drained.
    rt::Task<std::optional<CanMessage>> receive_timeout_async(std::uint64_t timeout_ms) const;

    const std::string& interface() const noexcept { return interface_; }
    // True once the socket task has ended: the receive queue gets nothing more.
    bool receive_ended() const noexcept { return receive_->messages.closed(); }

private:
    using Channel = std::pair<rt::Sender<CanMessage>, rt::Receiver<CanMessage>>;
    CanDeviceAsync(rt::Runtime& runtime, std::string interface, Channel transmit, Channel received);

    std::string interface_;
    rt::Sender<CanMessage> transmit_;
    std::shared_ptr<ReceiveQueue> receive_;  // shared with the operations in flight
    rt::JoinHandle<void> socket_task_;       // dropping it detaches the task
};

}  // namespace drovik::comm::can
