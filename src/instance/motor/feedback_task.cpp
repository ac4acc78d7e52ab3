#include "instance/motor/feedback_task.hpp"

#include <chrono>
#include <cstdio>
#include <string>

#include "diag/stderr_line.hpp"
#include "instance/motor/motor_group.hpp"
#include "instance/motor/protocol/feedback_decoding.hpp"
#include "runtime/time/sleep.hpp"

namespace drovik::motor {

namespace {

constexpr std::uint64_t kReceiveTimeoutMs = 100;
// Once the CAN device's task has ended nothing can arrive any more: look again
// at the same pace as on an idle bus instead of spinning.
constexpr auto kClosedPollInterval = std::chrono::milliseconds(kReceiveTimeoutMs);

std::shared_ptr<Device> claimant(DeviceList& list, std::uint32_t feedback_id) {
    std::lock_guard guard(list.lock);
    for (const auto& device : list.devices) {
        if (device->feedback_id() == feedback_id) return device;
    }
    return nullptr;
}

void report_unmatched(const comm::can::CanMessage& message) {
    char id[16];
    std::snprintf(id, sizeof id, "%X", message.id);
    std::string line = "[Motor] unmatched feedback frame: id=0x";
    line += id;
    line += ", data=[";
    for (std::size_t i = 0; i < message.data.size(); ++i) {
        if (i != 0) line += ", ";
        line += std::to_string(message.data[i]);
    }
    line += ']';
    diag::write_stderr_line(line);
}

}  // namespace

rt::Task<void> receive_feedback(std::shared_ptr<comm::can::CanDeviceAsync> can, std::shared_ptr<DeviceList> list) {
    for (;;) {
        auto message = co_await can->receive_timeout_async(kReceiveTimeoutMs);
        if (!message) {
            if (can->receive_ended()) co_await rt::sleep_for(kClosedPollInterval);
            continue;
        }
        auto feedback = accept_feedback(message->id, message->data);
        if (!feedback) continue;
        auto device = claimant(*list, message->id);
        if (!device) {
            report_unmatched(*message);
            continue;
        }
        co_await device->update_watch_data(*feedback);
    }
}

}  // namespace drovik::motor
