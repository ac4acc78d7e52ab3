// A driver's control mode: what its target means (current, speed or position)
// and so how the target is scaled in the broadcast frame.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/result.hpp"

namespace drovik::motor {

// The numbering is part of the target encoding: it selects the scale.
enum class MotorMode : std::uint8_t {
    Current = 0,   // A
    Speed = 1,     // rad/s
    Position = 2,  // rad
};

// Takes UTF-8 text already lowercased the way Python's str.lower() does; the
// Python face lowers it there, so every code point lowers exactly as Python
// would and the error can quote the lowered text. No blanks are trimmed.
// An unknown name gives an InvalidInput error naming the mode.
rt::Result<MotorMode> parse_motor_mode(std::string_view lowered);

}  // namespace drovik::motor
