#include "comm/can/port.hpp"

#include <cerrno>

#include "diag/stderr_line.hpp"
#include "runtime/os_error.hpp"

namespace drovik::comm::can {

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

void keep_task_off(Port& port) {
    port.direct_reader = true;
    CanDevice& device = *port.device();
    if (rt::Waker task = device.take_reader()) port.task_kept_off = std::move(task);
    // A failure only costs the reactor's wake-ups meanwhile.
    (void)device.watch_reads(false);
}

void give_back_to_task(Port& port) {
    port.direct_reader = false;
    rt::Waker task = std::move(port.task_kept_off);
    CanDevice& device = *port.device();
    // The task waits for the next event; switching read events on again raises one
    // at once when a frame is already there.
    bool waiting = device.rearm_reader(device.events_seen(), task);
    if (!device.watch_reads(true) || !waiting) task.wake();
}

void catch_up(Port& port) {
    CanDevice* device = port.device();
    if (device == nullptr) return;
    std::unique_lock lock(port.receive_lock, std::try_to_lock);
    if (!lock || !port.sink || port.direct_reader) return;
    for (;;) {
        socketcan::CANFrame frame;
        int failure = device->read(frame);
        if (failure != 0) {
            if (failure != EAGAIN) report_receive_failure(rt::os_error(failure));
            return;
        }
        // A frame the sink refuses is left for the task, which then ends.
        if (!port.sink->take(frame)) return;
    }
}

void report_send_failure(const rt::Error& error) {
    diag::write_stderr_line("Failed to send CAN frame: " + error.text);
}

void report_receive_failure(const rt::Error& error) {
    diag::write_stderr_line("Failed to receive CAN frame: " + error.text);
}

}  // namespace drovik::comm::can
