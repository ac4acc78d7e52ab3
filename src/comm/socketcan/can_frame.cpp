#include "comm/socketcan/can_frame.hpp"

#include <cstring>

namespace drovik::socketcan {

rt::Result<void> CANFrame::check(std::uint32_t id, std::size_t length) noexcept {
    if (length > kMaxPayload) {
        return rt::Error{rt::ErrorKind::InvalidInput, "Payload is larger than CAN maximum of 8 bytes"};
    }
    if (id > kExtendedIdMask) return rt::Error{rt::ErrorKind::InvalidInput, "CAN ID too large"};
    return {};
}

rt::Result<CANFrame> CANFrame::make(std::uint32_t id, std::span<const std::uint8_t> payload,
                                    bool remote_request, bool error_frame) noexcept {
    if (auto valid = check(id, payload.size()); !valid) return valid.error();
    CANFrame frame;
    std::uint32_t word = id < kFirstExtendedId ? id : (id | CAN_EFF_FLAG);
    if (remote_request) word |= CAN_RTR_FLAG;
    if (error_frame) word |= CAN_ERR_FLAG;
    frame.raw_.can_id = word;
    frame.raw_.len = static_cast<std::uint8_t>(payload.size());
    if (!payload.empty()) std::memcpy(frame.raw_.data, payload.data(), payload.size());
    return frame;
}

std::uint32_t CANFrame::id() const noexcept {
    std::uint32_t word = raw_.can_id;
    return (word & CAN_EFF_FLAG) ? (word & kExtendedIdMask) : (word & kStandardIdMask);
}

}  // namespace drovik::socketcan
