#include "instance/motor/protocol/feedback_decoding.hpp"

#include <bit>

namespace drovik::motor {
namespace {

std::uint16_t le16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

float count_of(const std::uint8_t* p) noexcept {
    return static_cast<float>(static_cast<std::int16_t>(le16(p)));
}

}  // namespace

WatchData decode_feedback(std::span<const std::uint8_t, kFeedbackLength> data) noexcept {
    return WatchData{
        .position = std::bit_cast<float>(le32(data.data())),
        .speed = count_of(data.data() + 4) / 10.0f,
        .current = count_of(data.data() + 6) / 100.0f,
    };
}

}  // namespace drovik::motor
