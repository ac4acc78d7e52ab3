#include "instance/motor/stop_frame.hpp"

#include <chrono>
#include <string>
#include <thread>

#include "comm/can/socket_task.hpp"
#include "diag/stderr_line.hpp"
#include "runtime/os_error.hpp"

namespace drovik::motor {

namespace {

constexpr auto kRetryFor = std::chrono::milliseconds(50);
constexpr auto kRetryPause = std::chrono::milliseconds(1);
// A thread the machine keeps off its CPU for the whole span still gets its tries.
constexpr int kLeastRetries = 5;

// Empty once written, else why not.
std::string try_write(comm::can::Port& port, const socketcan::CANFrame& frame) {
    comm::can::CanDevice* device = port.device();
    if (device == nullptr) return "the CAN socket is not open";
    auto turn = port.write_turn(true);
    if (!turn) return "frames queued before it were not written";
    int failure = device->write(frame);
    return failure == 0 ? std::string() : rt::os_error_text(failure);
}

}  // namespace

void send_stop_frame(comm::can::Port& port, const comm::can::CanMessage& message) {
    auto frame = comm::can::frame_of(message);
    std::string failure = frame ? try_write(port, frame.value()) : frame.error().text;
    const auto deadline = std::chrono::steady_clock::now() + kRetryFor;
    for (int retries = 0;
         frame && !failure.empty() && (retries < kLeastRetries || std::chrono::steady_clock::now() < deadline);
         ++retries) {
        std::this_thread::sleep_for(kRetryPause);
        failure = try_write(port, frame.value());
    }
    if (!failure.empty()) diag::write_stderr_line("Failed to send stop frame: " + failure);
}

}  // namespace drovik::motor
