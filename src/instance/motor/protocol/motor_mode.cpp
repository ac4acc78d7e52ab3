#include "instance/motor/protocol/motor_mode.hpp"

#include <string>

namespace drovik::motor {

rt::Result<MotorMode> parse_motor_mode(std::string_view lowered) {
    if (lowered == "current") return MotorMode::Current;
    if (lowered == "speed") return MotorMode::Speed;
    if (lowered == "position") return MotorMode::Position;
    std::string text = "unknown mode '";
    text += lowered;
    text += "', expected 'current', 'speed', or 'position'";
    return rt::Error{rt::ErrorKind::InvalidInput, std::move(text)};
}

}  // namespace drovik::motor
