#include "comm/can/can_device_async.hpp"

#include "comm/can/socket_task.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time/timeout.hpp"

namespace drovik::comm::can {

namespace {

rt::Task<std::optional<CanMessage>> take_oldest(std::shared_ptr<ReceiveQueue> queue) {
    auto guard = co_await queue->lock.lock();
    co_return queue->messages.try_recv();
}

rt::Task<std::optional<CanMessage>> take_within(std::shared_ptr<ReceiveQueue> queue, std::uint64_t timeout_ms) {
    auto guard = co_await queue->lock.lock();
    auto message = co_await rt::with_deadline(rt::Deadline::after_ms(timeout_ms), queue->messages.recv());
    co_return message ? std::move(*message) : std::nullopt;
}

}  // namespace

CanDeviceAsync::CanDeviceAsync(rt::Runtime& runtime, std::string interface)
    : CanDeviceAsync(runtime, std::move(interface), rt::channel<CanMessage>(), rt::channel<CanMessage>()) {}

CanDeviceAsync::CanDeviceAsync(rt::Runtime& runtime, std::string interface, Channel transmit, Channel received)
    : interface_(std::move(interface)),
      transmit_(std::move(transmit.first)),
      receive_(std::make_shared<ReceiveQueue>(std::move(received.second))),
      socket_task_(runtime.spawn(run_socket_task(interface_, std::move(transmit.second), std::move(received.first)))) {}

rt::Result<void> CanDeviceAsync::send_nonblocking(std::uint32_t id, std::vector<std::uint8_t> data) {
    return transmit_.send(CanMessage{id, std::move(data)});
}

rt::Task<std::optional<CanMessage>> CanDeviceAsync::try_receive() const { return take_oldest(receive_); }

rt::Task<std::optional<CanMessage>> CanDeviceAsync::receive_timeout_async(std::uint64_t timeout_ms) const {
    return take_within(receive_, timeout_ms);
}

}  // namespace drovik::comm::can
