#include "instance/motor/feedback_sink.hpp"

#include "instance/motor/motor_group.hpp"
#include "comm/socketcan/can_socket.hpp"
#include "instance/motor/protocol/feedback_decoding.hpp"

namespace drovik::motor {

namespace {

// A driver's feedback identifier names a frame of its own format: standard below
// 0x800, extended from there on, as the identifier would be sent.
bool claims(const Device& device, std::uint32_t id, bool extended) {
    return device.feedback_id() == id && (id >= socketcan::kFirstExtendedId) == extended;
}

std::shared_ptr<Device> claimant(DeviceList& list, std::uint32_t id, bool extended) {
    std::lock_guard guard(list.lock);
    for (const auto& device : list.devices) {
        if (claims(*device, id, extended)) return device;
    }
    return nullptr;
}

void report_unmatched(std::uint32_t id, std::span<const std::uint8_t> data, comm::can::SinkLines& lines) {
    auto line = lines.line();
    line.text("[Motor] unmatched feedback frame: id=0x").hex(id).text(", data=[");
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i != 0) line.text(", ");
        line.decimal(data[i]);
    }
    line.text("]");
}

}  // namespace

bool FeedbackSink::take(const socketcan::CANFrame& frame, std::int64_t received_ns, comm::can::SinkLines& lines) {
    if (frame.remote()) return true;
    auto feedback = accept_feedback(frame.id(), frame.data(), lines);
    if (!feedback) return true;
    if (auto device = claimant(*list_, frame.id(), frame.extended())) {
        device->update_watch_data(*feedback, clock_.monotonic_ns_of(received_ns));
    } else {
        report_unmatched(frame.id(), frame.data(), lines);
    }
    return true;
}

}  // namespace drovik::motor
