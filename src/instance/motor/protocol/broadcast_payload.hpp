// The broadcast frame's payload: up to four drivers' targets as signed 16-bit
// counts, one slot each, so that one frame commands a whole group.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "instance/motor/protocol/motor_mode.hpp"

namespace drovik::motor {

inline constexpr std::uint8_t kBroadcastSlots = 4;

// A driver asking for a slot beyond the frame takes the last one.
constexpr std::uint8_t broadcast_slot(std::uint8_t requested) noexcept {
    return std::min<std::uint8_t>(requested, kBroadcastSlots - 1);
}

// The eight data bytes of one broadcast frame: slot n's count, little-endian,
// at byte 2n. Unused slots stay 0. Lives on the stack; building it allocates
// nothing, so it can be filled under the group's lock.
class BroadcastPayload {
public:
    using Bytes = std::array<std::uint8_t, 2 * kBroadcastSlots>;

    // Called in the group's list order: a later driver in the same slot
    // overwrites an earlier one.
    void place(std::uint8_t slot, MotorMode mode, float target) noexcept;

    const Bytes& bytes() const noexcept { return bytes_; }

private:
    Bytes bytes_{};
};

}  // namespace drovik::motor
