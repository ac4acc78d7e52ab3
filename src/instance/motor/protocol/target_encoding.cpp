#include "instance/motor/protocol/target_encoding.hpp"

#include <cmath>
#include <limits>

namespace drovik::motor {
namespace {

// Counts per unit: a tenth of a rad/s in Speed, a hundredth of the unit otherwise.
float target_scale(MotorMode mode) noexcept {
    return mode == MotorMode::Speed ? 10.0f : 100.0f;
}

}  // namespace

// IEEE 754 makes the narrowing round to nearest and overflow to infinity.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);

float narrow_target(double value) noexcept {
    return static_cast<float>(value);
}

std::int16_t encode_target(float target, MotorMode mode) noexcept {
    const float product = target * target_scale(mode);
    if (std::isnan(product)) return 0;
    if (product <= -32768.0f) return std::numeric_limits<std::int16_t>::min();
    if (product >= 32767.0f) return std::numeric_limits<std::int16_t>::max();
    return static_cast<std::int16_t>(product);  // truncates toward zero
}

}  // namespace drovik::motor
