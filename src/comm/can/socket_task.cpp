#include "comm/can/socket_task.hpp"

#include <cerrno>
#include <chrono>
#include <variant>

#include "diag/stderr_line.hpp"
#include "runtime/os_error.hpp"
#include "runtime/runtime.hpp"
#include "runtime/sync/select.hpp"
#include "runtime/time/sleep.hpp"
#include "runtime/time/timeout.hpp"

namespace drovik::comm::can {

namespace {

constexpr auto kPauseAfterReceiveError = std::chrono::milliseconds(100);
// Long enough that a loop reading the sink each tick keeps the socket between
// ticks, short enough that frames nobody asks for wait little in the kernel's buffer.
constexpr auto kLease = std::chrono::milliseconds(10);
// A refused write waits for the socket's next writable edge; a refusal that a
// writable socket keeps giving (a busy controller) is retried at this pace.
constexpr auto kRefusedWriteRetry = std::chrono::milliseconds(10);
// Queued frames written before the task looks at the socket's reads again.
constexpr int kWriteBatch = 64;

// When the socket was last lent out as the task saw it; kept across events, so
// that sends coming in meanwhile do not restart the lease.
struct LeaseWatch {
    std::optional<rt::Clock::time_point> due;  // of the current lease, while lent
    std::uint64_t turns_seen = 0;               // caller turns as that lease began
};

// One batch read and handed to the sink, or a failed read. Waits while the
// socket is lent to callers.
class NextBatch {
public:
    NextBatch(Port& port, LeaseWatch& lease)
        : port_(port), device_(*port.device()), ready_(device_.readable()), lease_(lease) {}

    bool poll(rt::Context& cx) {
        for (;;) {
            if (!wait_for_lease(cx)) return false;
            auto read = port_.read_for_task(ready_, cx);
            if (!read) {
                if (port_.lent()) continue;  // lent again meanwhile
                return false;
            }
            if (read->failure == EAGAIN && read->frames == 0 && read->taken) continue;
            read_ = *read;
            return true;
        }
    }

    Port::Read take() { return read_; }

private:
    // True once the socket is the task's again. While callers keep taking turns
    // this wakes once a lease and takes the lock only to say where it waits.
    bool wait_for_lease(rt::Context& cx) {
        while (port_.lent()) {
            if (!lease_.due) {
                lease_.turns_seen = port_.caller_turns();
                lease_.due = rt::Clock::now() + kLease;
            }
            if (!sleep_) sleep_.emplace(rt::sleep_until(rt::Deadline::at(*lease_.due)));
            if (!sleep_->poll(cx)) {
                if (port_.keep_task_off(cx.waker)) return false;
                sleep_.reset();  // given back meanwhile
                continue;
            }
            sleep_.reset();
            lease_.due.reset();
            if (port_.caller_turns() != lease_.turns_seen) continue;  // another lease
            switch (port_.reclaim(lease_.turns_seen, cx.waker)) {
                case Port::Reclaim::Taken: break;
                case Port::Reclaim::TurnsCame: continue;
                case Port::Reclaim::CallerInside: return false;  // it wakes the task as it gives it back
            }
        }
        lease_.due.reset();
        return true;
    }

    Port& port_;
    CanDevice& device_;
    rt::ReadinessWait ready_;
    LeaseWatch& lease_;
    std::optional<rt::Sleep> sleep_;
    Port::Read read_;
};

// Writes one queued message, waiting for writability while the kernel refuses it.
rt::Task<void> write_queued(Port& port, CanMessage message) {
    CanDevice& device = *port.device();
    auto frame = frame_of(message);
    if (!frame) {
        report_send_failure(frame.error());
        device.count_unsendable();
    }
    bool watching = false;
    while (frame) {
        int failure = port.write_for_task(device, frame.value());
        if (failure == 0) break;
        if (failure != EAGAIN) {
            report_send_failure(rt::os_error(failure));
            break;
        }
        device.clear_write_ready();
        if (!watching) watching = device.watch_writes(true).ok();
        (void)co_await rt::with_timeout(kRefusedWriteRetry, device.writable());
    }
    if (watching) (void)device.watch_writes(false);
    port.queued_done();
}

// Either what the transmit queue gave (empty once it is closed and drained) or
// what reading gave.
using Event = std::variant<std::optional<CanMessage>, Port::Read>;

rt::Task<Event> next_event(rt::Receiver<CanMessage>& transmit, Port& port, LeaseWatch& lease) {
    auto ready = co_await rt::select(transmit.recv(), NextBatch(port, lease));
    if (ready.index() == 0) co_return Event(std::in_place_index<0>, std::get<0>(std::move(ready)));
    co_return Event(std::in_place_index<1>, std::get<1>(ready));
}

}  // namespace

rt::Result<socketcan::CANFrame> frame_of(const CanMessage& message) noexcept {
    if (auto valid = socketcan::CANFrame::check(message.id, message.length); !valid) return valid.error();
    return socketcan::CANFrame::make(message.id, message.data());
}

rt::Task<void> run_socket_task(std::string interface, rt::Receiver<CanMessage> transmit, std::shared_ptr<Port> port) {
    auto opened = CanDevice::open(*rt::current_runtime(), interface);
    if (!opened) {
        diag::write_stderr_line("Failed to open CAN device " + interface + ": " + opened.error().text);
        // The transmit end closes first: once a receive reports the end, sends fail too.
        { auto closing = std::move(transmit); }
        port->end();
        co_return;
    }
    port->open(std::move(opened).value());
    LeaseWatch lease;
    for (;;) {
        Event event = co_await next_event(transmit, *port, lease);
        if (event.index() == 0) {
            auto& message = std::get<0>(event);
            // Closed once its device is gone (which detached the sink first): the
            // task ends now rather than at the next frame, which may never come.
            if (!message) break;
            co_await write_queued(*port, *message);
            // A backlog goes out back to back; reading gets its turn between batches.
            for (int written = 1; written < kWriteBatch; ++written) {
                auto next = transmit.try_recv();
                if (!next) break;
                co_await write_queued(*port, *next);
            }
            continue;
        }
        Port::Read read = std::get<1>(event);
        if (!read.taken) break;  // nobody can take it any more
        if (read.failure != 0 && read.failure != EAGAIN) {
            report_receive_failure(rt::os_error(read.failure));
            co_await rt::sleep_for(kPauseAfterReceiveError);
        }
    }
    { auto closing = std::move(transmit); }
    port->end();
}

}  // namespace drovik::comm::can
