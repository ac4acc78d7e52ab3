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
// one of any length but 8 is dropped with a warning line on standard error.
std::optional<WatchData> accept_feedback(std::uint32_t id, std::span<const std::uint8_t> data) noexcept;

}  // namespace drovik::motor
