// Feedback frames from a driver: the one length and layout accepted, and the
// warning for any other. Nothing here throws: the group's feedback task runs
// every frame it receives through here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "instance/motor/protocol/watch_data.hpp"

namespace drovik::motor {

inline constexpr std::size_t kFeedbackLength = 8;

// Bytes 0-3 position as a little-endian float, passed through bit for bit
// (NaN and infinities included); 4-5 speed in tenths of a rad/s; 6-7 current
// in hundredths of an ampere, both little-endian signed counts.
WatchData decode_feedback(std::span<const std::uint8_t, kFeedbackLength> data) noexcept;

// Every received frame goes through here before its identifier is looked at:
// one of any length but 8 is dropped with a warning line, kept in `lines` (a
// diag::LineBuffer) for standard error once the receive lock is let go.
template <class Lines>
std::optional<WatchData> accept_feedback(std::uint32_t id, std::span<const std::uint8_t> data, Lines& lines) noexcept {
    if (data.size() != kFeedbackLength) {
        lines.line()
            .text("Warning: ignoring CAN frame 0x")
            .hex(id)
            .text(" with unexpected length ")
            .decimal(static_cast<std::uint32_t>(data.size()));
        return std::nullopt;
    }
    return decode_feedback(data.first<kFeedbackLength>());
}

}  // namespace drovik::motor
