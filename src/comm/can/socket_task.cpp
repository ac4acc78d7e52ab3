#include "comm/can/socket_task.hpp"

#include <chrono>
#include <variant>

#include "comm/can/can_device.hpp"
#include "diag/stderr_line.hpp"
#include "runtime/runtime.hpp"
#include "runtime/sync/select.hpp"
#include "runtime/time/sleep.hpp"

namespace drovik::comm::can {

namespace {

constexpr auto kPauseAfterReceiveError = std::chrono::milliseconds(100);

// Either what the transmit queue gave (empty once it is closed and drained) or
// what the socket gave.
using Event = std::variant<std::optional<CanMessage>, rt::Result<socketcan::CANFrame>>;

rt::Task<Event> next_event(rt::Receiver<CanMessage>& transmit, bool transmit_open, CanDevice& device) {
    if (!transmit_open) co_return Event(std::in_place_index<1>, co_await device.receive());
    auto ready = co_await rt::select(transmit.recv(), device.receive());
    if (ready.index() == 0) co_return Event(std::in_place_index<0>, std::get<0>(std::move(ready)));
    co_return Event(std::in_place_index<1>, std::get<1>(std::move(ready)));
}

CanMessage to_message(const socketcan::CANFrame& frame) {
    auto data = frame.data();
    return CanMessage{frame.id(), std::vector<std::uint8_t>(data.begin(), data.end())};
}

}  // namespace

rt::Task<void> run_socket_task(std::string interface, rt::Receiver<CanMessage> transmit,
                               rt::Sender<CanMessage> received) {
    auto opened = CanDevice::open(*rt::current_runtime(), interface);
    if (!opened) {
        diag::write_stderr_line("Failed to open CAN device " + interface + ": " + opened.error().text);
        // The transmit end closes first: once a receive reports the end, sends fail too.
        { auto closing = std::move(transmit); }
        co_return;  // dropping the receive queue's end closes it
    }
    CanDevice& device = opened.value();
    bool transmit_open = true;
    for (;;) {
        Event event = co_await next_event(transmit, transmit_open, device);
        if (event.index() == 0) {
            auto& message = std::get<0>(event);
            if (!message) {
                transmit_open = false;  // its device is gone: only receiving is left
                continue;
            }
            auto sent = co_await device.send(message->id, message->data);
            if (!sent) diag::write_stderr_line("Failed to send CAN frame: " + sent.error().text);
            continue;
        }
        auto& frame = std::get<1>(event);
        if (!frame) {
            diag::write_stderr_line("Failed to receive CAN frame: " + frame.error().text);
            co_await rt::sleep_for(kPauseAfterReceiveError);
            continue;
        }
        if (!received.send(to_message(frame.value()))) co_return;  // nobody can read it any more
    }
}

}  // namespace drovik::comm::can
