#include "comm/can/port.hpp"

#include <array>
#include <cerrno>

#include "diag/stderr_line.hpp"
#include "runtime/os_error.hpp"

namespace drovik::comm::can {

namespace {

// Frames a reader takes in one system call: a group's four answers to a broadcast fit.
constexpr std::size_t kCatchUpBatch = 8;
static_assert(kCatchUpBatch <= socketcan::CANSocket::kMostPerBatch);

}  // namespace

void Port::open(CanDevice device) {
    device_.emplace(std::move(device));
    opened_.store(true, std::memory_order_release);
}

void Port::end() {
    {
        std::lock_guard lock(receive_lock);
        ended = true;
    }
    frame_taken.notify_all();
}

void begin_caller_turn(Port& port) {
    if (!port.lent.load(std::memory_order_relaxed)) {
        // Woken out of its wait for readability to keep off for the lease instead.
        port.device()->take_reader().wake();
        // A failure only costs the reactor's wake-ups meanwhile.
        (void)port.device()->watch_reads(false);
        port.lent.store(true, std::memory_order_release);
    }
    port.caller_turns.store(port.caller_turns.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    port.direct_reader = true;
}

void end_caller_turn(Port& port) {
    port.direct_reader = false;
    if (port.return_wanted) give_back_to_task(port);
}

void give_back_to_task(Port& port) {
    port.direct_reader = false;
    port.return_wanted = false;
    port.lent.store(false, std::memory_order_release);
    rt::Waker task = std::move(port.task_kept_off);
    CanDevice& device = *port.device();
    // The task waits for the next event; switching read events on again raises one
    // at once when a frame is already there.
    bool waiting = device.rearm_reader(device.events_seen(), task);
    if (!device.watch_reads(true) || !waiting) task.wake();
}

bool take_back_from_callers(Port& port, const rt::Waker& task) {
    if (port.direct_reader) {
        port.return_wanted = true;
        rt::store_waker(port.task_kept_off, task);
        return false;
    }
    port.lent.store(false, std::memory_order_release);
    (void)port.device()->watch_reads(true);
    return true;
}

void catch_up(Port& port) {
    CanDevice* device = port.device();
    if (device == nullptr) return;
    // Blocks rather than skips when the task is handing a frame over: on one CPU a
    // reader that skipped would spin without a system call, and so without giving
    // the task the processor back, until the scheduler's next tick.
    std::unique_lock lock(port.receive_lock);
    if (!port.sink || port.direct_reader) return;
    begin_caller_turn(port);
    // One system call for what a broadcast's answers leave there, and for finding
    // the socket empty after them.
    std::array<socketcan::CANFrame, kCatchUpBatch> frames;
    std::array<std::int64_t, kCatchUpBatch> received_ns;
    for (;;) {
        auto batch = device->read(frames, received_ns);
        for (std::size_t i = 0; i < batch.count; ++i) {
            if (!port.sink->take(frames[i], received_ns[i])) {
                give_back_to_task(port);  // the task ends
                return;
            }
        }
        if (batch.failure == 0) continue;
        if (batch.failure == EAGAIN) {
            end_caller_turn(port);
        } else {
            // After a failure the task reads on.
            report_receive_failure(rt::os_error(batch.failure));
            give_back_to_task(port);
        }
        return;
    }
}

void report_send_failure(const rt::Error& error) {
    diag::write_stderr_line("Failed to send CAN frame: " + error.text);
}

void report_receive_failure(const rt::Error& error) {
    diag::write_stderr_line("Failed to receive CAN frame: " + error.text);
}

}  // namespace drovik::comm::can
