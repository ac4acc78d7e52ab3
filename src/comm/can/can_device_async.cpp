#include "comm/can/can_device_async.hpp"

#include <array>
#include <cerrno>

#include "comm/can/ready_wait.hpp"
#include "comm/can/socket_task.hpp"
#include "runtime/os_error.hpp"
#include "runtime/runtime.hpp"

namespace drovik::comm::can {

namespace {

CanMessage message_of(const socketcan::CANFrame& frame) noexcept { return CanMessage::of(frame.id(), frame.data()); }

}  // namespace

// A few kilobytes: allocations stay rare, and a chunk always holds a whole batch.
constexpr std::size_t kChunkMessages = 256;
static_assert(kChunkMessages >= socketcan::CANSocket::kMostPerBatch);

struct ReceiveQueue::Chunk {
    std::array<CanMessage, kChunkMessages> messages;
    std::size_t head = 0;  // next to pop
    std::size_t tail = 0;  // next to fill
    std::unique_ptr<Chunk> next;
};

ReceiveQueue::ReceiveQueue(Port& port) : port_(port), spare_(std::make_unique<Chunk>()) {}

ReceiveQueue::~ReceiveQueue() {
    // Iteratively: a long queue would otherwise free its chunks recursively.
    while (first_) first_ = std::move(first_->next);
}

bool ReceiveQueue::take(const socketcan::CANFrame& frame, std::int64_t /*received_ns*/, SinkLines&) {
    // A remote request carries no data: it is never passed on as if it did.
    if (frame.remote()) return true;
    if (last_ == nullptr || last_->tail == kChunkMessages) {
        // has_room said yes: the spare is there.
        Chunk* fresh = spare_.get();
        if (last_ == nullptr) {
            first_ = std::move(spare_);
        } else {
            last_->next = std::move(spare_);
        }
        last_ = fresh;
    }
    last_->messages[last_->tail++] = message_of(frame);
    port_.frame_taken();
    return true;
}

bool ReceiveQueue::has_room(std::size_t frames) const {
    std::size_t room = last_ == nullptr ? 0 : kChunkMessages - last_->tail;
    if (spare_) room += kChunkMessages;
    return room >= frames;
}

void ReceiveQueue::make_room(std::unique_lock<std::mutex>& held) {
    held.unlock();
    auto chunk = std::make_unique<Chunk>();
    held.lock();
    if (spare_) {
        // Another reader made room meanwhile.
        held.unlock();
        chunk.reset();
        held.lock();
        return;
    }
    spare_ = std::move(chunk);
}

std::optional<CanMessage> ReceiveQueue::pop(std::unique_ptr<Chunk>& spent) {
    if (!first_ || first_->head == first_->tail) return std::nullopt;
    CanMessage message = first_->messages[first_->head++];
    if (first_->head == kChunkMessages) {
        std::unique_ptr<Chunk> done = std::move(first_);
        first_ = std::move(done->next);
        if (!first_) last_ = nullptr;
        done->head = done->tail = 0;
        (spare_ ? spent : spare_) = std::move(done);
    }
    return message;
}

CanDeviceAsync::CanDeviceAsync(rt::Runtime& runtime, std::string interface, std::shared_ptr<FrameSink> sink)
    : CanDeviceAsync(runtime, std::move(interface), std::move(sink), rt::channel<CanMessage>(),
                     std::make_shared<Port>()) {}

CanDeviceAsync::CanDeviceAsync(rt::Runtime& runtime, std::string interface, std::shared_ptr<FrameSink> sink,
                               Channel transmit, std::shared_ptr<Port> port)
    : interface_(std::move(interface)),
      transmit_(std::move(transmit.first)),
      port_(std::move(port)),
      queue_(sink ? nullptr : std::make_shared<ReceiveQueue>(*port_)) {
    if (queue_) sink = queue_;
    port_->attach(std::move(sink));
    socket_task_.emplace(runtime.spawn(run_socket_task(interface_, std::move(transmit.second), port_)));
}

CanDeviceAsync::~CanDeviceAsync() {
    if (port_) port_->detach();
}

rt::Result<void> CanDeviceAsync::send_nonblocking(const CanMessage& message) {
    Port& port = *port_;
    CanDevice* device = port.device();
    std::optional<Port::WriteTurn> turn;
    if (device != nullptr && (turn = port.write_turn(false))) {
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
        // anything queued later (the turn is kept until it is queued).
    }
    return port.queue_for_task([&] { return transmit_.send(message); });
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
    Port& port = *port_;
    std::unique_ptr<ReceiveQueue::Chunk> spent;  // freed once the lock is let go
    std::optional<CanMessage> result;
    std::optional<rt::Deadline> deadline;  // only while the task reads for this caller
    bool read_here = true;  // until a read here fails: then the task reads, and reports
    Port::Held held = port.hold();
    for (;;) {
        if ((result = queue_->pop(spent)) || port.ended(held)) break;
        CanDevice* device = read_here ? port.device() : nullptr;
        // All the socket holds goes to the queue, so that a caller who reads
        // seldom never leaves it to overflow. A waiting read returns at once when
        // a frame is there; what comes behind it is the task's once it is given back.
        if (device != nullptr && (!limit_ms || *limit_ms == 0)) {
            auto read = port.read_now(held);
            if (read.frames != 0) continue;
            if (read.failure == EAGAIN) break;
            read_here = false;
            continue;
        }
        // Lent for this call: nobody else reads meanwhile.
        if (device != nullptr && port.lend_for_call(held)) {
            held.unlock();
            socketcan::CANFrame frame;
            int failure = read_waiting(device->socket(), limit_ms, keep_waiting, frame);
            held.lock();
            if (failure == 0) result = message_of(frame);
            port.give_back(held);
            if (failure == 0 || failure == EAGAIN || failure == EINTR) break;  // the time is up, or interrupted
            report_receive_failure(rt::os_error(failure));
            read_here = false;
            held.lock();
            continue;
        }
        // Not open yet, reading failed here, or another call's read has the socket:
        // the task, or that call as it gives the socket back, says when to look again.
        if (!limit_ms) break;
        if (!deadline) deadline = rt::Deadline::after_ms(*limit_ms);
        if (deadline->passed()) break;
        port.wait_for_frame(held, std::min(deadline->instant(), Clock::now() + kWaitSlice));
        if (!keep_waiting()) break;
    }
    return result;
}

}  // namespace drovik::comm::can
