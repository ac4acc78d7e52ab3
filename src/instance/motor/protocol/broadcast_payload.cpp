#include "instance/motor/protocol/broadcast_payload.hpp"

#include "instance/motor/protocol/target_encoding.hpp"

namespace drovik::motor {

void BroadcastPayload::place(std::uint8_t slot, MotorMode mode, float target) noexcept {
    const auto count = static_cast<std::uint16_t>(encode_target(target, mode));
    const unsigned at = 2u * broadcast_slot(slot);
    bytes_[at] = static_cast<std::uint8_t>(count & 0xFF);
    bytes_[at + 1] = static_cast<std::uint8_t>(count >> 8);
}

}  // namespace drovik::motor
