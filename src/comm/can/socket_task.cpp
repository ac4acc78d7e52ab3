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
// Long enough that a loop reading every few milliseconds keeps the socket, short
// enough that frames nobody asks for wait little in the kernel's buffer.
constexpr auto kLease = std::chrono::milliseconds(10);
// A refused write waits for the socket's next writable edge; a refusal that a
// writable socket keeps giving (a busy controller) is retried at this pace.
constexpr auto kRefusedWriteRetry = std::chrono::milliseconds(10);
// Queued frames written before the task looks at the socket's reads again.
constexpr int kWriteBatch = 64;

enum class Received { Taken, NotTaken, Failed };

struct ReadOutcome {
    Received what = Received::Taken;
    int failure = 0;  // errno of a failed read
};

// One frame read and handed to the sink, or a failed read. Waits while the
// socket is lent to callers.
class NextFrame {
public:
    explicit NextFrame(Port& port) : port_(port), device_(*port.device()), ready_(device_.readable()) {}

    bool poll(rt::Context& cx) {
        for (;;) {
            if (!wait_for_lease(cx)) return false;
            std::lock_guard lock(port_.receive_lock);
            if (port_.lent.load(std::memory_order_relaxed)) continue;  // lent again meanwhile
            if (!ready_.poll(cx)) return false;
            socketcan::CANFrame frame;
            std::int64_t received_ns;
            int failure = device_.read(frame, received_ns);
            if (failure == EAGAIN) {
                device_.clear_read_ready();
                continue;
            }
            if (failure != 0) {
                outcome_ = {Received::Failed, failure};
            } else {
                outcome_.what = port_.sink && port_.sink->take(frame, received_ns) ? Received::Taken : Received::NotTaken;
            }
            return true;
        }
    }

    ReadOutcome take() { return outcome_; }

private:
    // True once the socket is the task's again. While callers keep taking turns
    // this wakes once a lease and takes no lock; a caller still inside when a
    // lease passes without turns gives the socket back as its turn ends.
    bool wait_for_lease(rt::Context& cx) {
        while (port_.lent.load(std::memory_order_acquire)) {
            std::uint64_t turns = port_.caller_turns.load(std::memory_order_acquire);
            if (!lease_ || turns != turns_seen_) {
                turns_seen_ = turns;
                lease_.emplace(rt::sleep_for(kLease));
            }
            if (!lease_->poll(cx)) return false;
            lease_.reset();
            if (port_.caller_turns.load(std::memory_order_acquire) != turns_seen_) continue;
            std::lock_guard lock(port_.receive_lock);
            if (!port_.lent.load(std::memory_order_relaxed)) break;
            if (port_.caller_turns.load(std::memory_order_relaxed) != turns_seen_) continue;
            if (!take_back_from_callers(port_, cx.waker)) return false;
        }
        return true;
    }

    Port& port_;
    CanDevice& device_;
    rt::ReadinessWait ready_;
    std::optional<rt::Sleep> lease_;
    std::uint64_t turns_seen_ = 0;
    ReadOutcome outcome_;
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
        int failure;
        {
            std::lock_guard lock(port.send_lock);
            failure = device.write(frame.value());
        }
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
    port.unsent.fetch_sub(1, std::memory_order_acq_rel);
}

// Either what the transmit queue gave (empty once it is closed and drained) or
// what reading gave.
using Event = std::variant<std::optional<CanMessage>, ReadOutcome>;

rt::Task<Event> next_event(rt::Receiver<CanMessage>& transmit, bool transmit_open, Port& port) {
    if (!transmit_open) co_return Event(std::in_place_index<1>, co_await NextFrame(port));
    auto ready = co_await rt::select(transmit.recv(), NextFrame(port));
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
    bool transmit_open = true;
    for (;;) {
        Event event = co_await next_event(transmit, transmit_open, *port);
        if (event.index() == 0) {
            auto& message = std::get<0>(event);
            if (!message) {
                transmit_open = false;  // its device is gone: only receiving is left
                continue;
            }
            co_await write_queued(*port, *message);
            // A backlog goes out back to back; reading gets its turn between batches.
            for (int written = 1; written < kWriteBatch; ++written) {
                auto next = transmit.try_recv();
                if (!next) break;
                co_await write_queued(*port, *next);
            }
            continue;
        }
        ReadOutcome read = std::get<1>(event);
        if (read.what == Received::NotTaken) break;  // nobody can take it any more
        if (read.what == Received::Failed) {
            report_receive_failure(rt::os_error(read.failure));
            co_await rt::sleep_for(kPauseAfterReceiveError);
        }
    }
    { auto closing = std::move(transmit); }
    port->end();
}

}  // namespace drovik::comm::can
