#include "comm/can/can_device_async.hpp"

#include <cerrno>

#include "comm/can/ready_wait.hpp"
#include "comm/can/socket_task.hpp"
#include "runtime/os_error.hpp"
#include "runtime/runtime.hpp"

namespace drovik::comm::can {

namespace {

CanMessage message_of(const socketcan::CANFrame& frame) noexcept { return CanMessage::of(frame.id(), frame.data()); }

}  // namespace

bool ReceiveQueue::take(const socketcan::CANFrame& frame, std::int64_t /*received_ns*/) {
    // A remote request carries no data: it is never passed on as if it did.
    if (frame.remote()) return true;
    messages_.push_back(message_of(frame));
    port_.frame_taken.notify_one();
    return true;
}

std::optional<CanMessage> ReceiveQueue::pop() {
    if (messages_.empty()) return std::nullopt;
    CanMessage message = messages_.front();
    messages_.pop_front();
    return message;
}

ConsumerTurns::Turn ConsumerTurns::wait_for_turn() {
    std::unique_lock lock(mu_);
    std::uint64_t ticket = issued_++;
    served_.wait(lock, [&] { return serving_ == ticket; });
    return Turn(*this);
}

void ConsumerTurns::next() {
    {
        std::lock_guard lock(mu_);
        ++serving_;
    }
    served_.notify_all();
}

CanDeviceAsync::CanDeviceAsync(rt::Runtime& runtime, std::string interface, std::shared_ptr<FrameSink> sink)
    : CanDeviceAsync(runtime, std::move(interface), std::move(sink), rt::channel<CanMessage>(),
                     std::make_shared<Port>(nullptr)) {}

CanDeviceAsync::CanDeviceAsync(rt::Runtime& runtime, std::string interface, std::shared_ptr<FrameSink> sink,
                               Channel transmit, std::shared_ptr<Port> port)
    : interface_(std::move(interface)),
      transmit_(std::move(transmit.first)),
      port_(std::move(port)),
      queue_(sink ? nullptr : std::make_shared<ReceiveQueue>(*port_)),
      turns_(sink ? nullptr : std::make_unique<ConsumerTurns>()) {
    if (queue_) sink = queue_;
    port_->sink = std::move(sink);
    socket_task_.emplace(runtime.spawn(run_socket_task(interface_, std::move(transmit.second), port_)));
}

CanDeviceAsync::~CanDeviceAsync() {
    if (!port_) return;
    std::lock_guard lock(port_->receive_lock);
    port_->sink = nullptr;
}

rt::Result<void> CanDeviceAsync::send_nonblocking(const CanMessage& message) {
    Port& port = *port_;
    CanDevice* device = port.device();
    std::unique_lock lock(port.send_lock, std::defer_lock);
    if (device != nullptr && port.unsent.load(std::memory_order_acquire) == 0 && lock.try_lock() &&
        port.unsent.load(std::memory_order_acquire) == 0) {
        auto frame = frame_of(message);
        if (!frame) {
            report_send_failure(frame.error());
            device->count_unsendable();
            return {};
        }
        int failure = device->write(frame.value());
        if (failure == 0) return {};
        if (failure != EAGAIN) {
            report_send_failure(rt::os_error(failure));
            return {};
        }
        // Refused for now: the task waits for writability and writes it before
        // anything queued later (the lock stays held until it is queued).
    }
    port.unsent.fetch_add(1, std::memory_order_acq_rel);
    auto queued = transmit_.send(message);
    if (!queued) port.unsent.fetch_sub(1, std::memory_order_acq_rel);
    return queued;
}

socketcan::BusHealth::Report CanDeviceAsync::bus_report() const noexcept {
    CanDevice* device = port_->device();
    return device ? device->health().report() : socketcan::BusHealth::Report{};
}

std::optional<CanMessage> CanDeviceAsync::try_receive() { return receive(std::nullopt, nullptr); }

std::optional<CanMessage> CanDeviceAsync::receive_within(std::uint64_t limit_ms, KeepWaiting keep_waiting) {
    return receive(limit_ms, keep_waiting);
}

std::optional<CanMessage> CanDeviceAsync::receive(std::optional<std::uint64_t> limit_ms, KeepWaiting keep_waiting) {
    auto turn = turns_->wait_for_turn();
    Port& port = *port_;
    std::optional<CanMessage> result;
    std::optional<rt::Deadline> deadline;  // only while the task reads for this caller
    bool read_here = true;  // until a read here fails: then the task reads, and reports
    bool borrowed = false;
    std::unique_lock lock(port.receive_lock);
    for (;;) {
        if ((result = queue_->pop()) || port.ended) break;
        CanDevice* device = read_here ? port.device() : nullptr;
        if (device == nullptr) {
            if (!limit_ms) break;
            if (!deadline) deadline = rt::Deadline::after_ms(*limit_ms);
            if (deadline->passed()) break;
            // Not open yet, or reading failed here: the task reads, and says when it took a frame.
            port.frame_taken.wait_until(lock, std::min(deadline->instant(), Clock::now() + kWaitSlice));
            if (!keep_waiting()) break;
            continue;
        }
        if (!borrowed) begin_caller_turn(port);
        borrowed = true;
        socketcan::CANFrame frame;
        int failure;
        if (limit_ms) {
            // Lent to this caller and its turn held: nobody else reads meanwhile.
            lock.unlock();
            failure = read_waiting(device->socket(), limit_ms, keep_waiting, frame);
            lock.lock();
        } else {
            failure = device->read(frame);
            if (failure == 0 && frame.remote()) continue;
        }
        if (failure == 0) {
            result = message_of(frame);
            break;
        }
        if (failure == EAGAIN || failure == EINTR) break;  // none there, the time is up, or interrupted
        report_receive_failure(rt::os_error(failure));
        read_here = borrowed = false;
        give_back_to_task(port);
    }
    if (borrowed) end_caller_turn(port);
    return result;
}

}  // namespace drovik::comm::can
