// Targets from Python to the wire: the narrowing to single precision and the
// scaled, truncated, saturated 16-bit count, computed as the drivers compute it,
// so that a target means the same on both ends.
#pragma once

#include <cstdint>

#include "instance/motor/protocol/motor_mode.hpp"

namespace drovik::motor {

// Targets live in single precision: a double from Python rounds to the
// nearest float, and one beyond the float range becomes an infinity.
float narrow_target(double value) noexcept;

// The signed 16-bit count a driver reads from its broadcast slot. The product
// is formed in single precision and truncated, never rounded, so the count
// matches the drivers bit for bit; NaN sends 0, the rest saturates.
std::int16_t encode_target(float target, MotorMode mode) noexcept;

}  // namespace drovik::motor
