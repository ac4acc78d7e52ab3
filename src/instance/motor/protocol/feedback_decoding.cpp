#include "instance/motor/protocol/feedback_decoding.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <string_view>

#include "diag/stderr_line.hpp"

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

// Formatted on the stack, so the warning cannot throw out of the receive loop.
void warn_length(std::uint32_t id, std::size_t length) noexcept {
    static constexpr std::string_view kHead = "Warning: ignoring CAN frame 0x";
    static constexpr std::string_view kMiddle = " with unexpected length ";
    char line[kHead.size() + 8 + kMiddle.size() + 20];
    char* end = line + sizeof line;
    char* p = std::copy(kHead.begin(), kHead.end(), line);
    char* const hex = p;
    p = std::to_chars(p, end, id, 16).ptr;
    std::transform(hex, p, hex, [](char c) { return c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c; });
    p = std::copy(kMiddle.begin(), kMiddle.end(), p);
    p = std::to_chars(p, end, length).ptr;
    diag::write_stderr_line(std::string_view(line, static_cast<std::size_t>(p - line)));
}

}  // namespace

WatchData decode_feedback(std::span<const std::uint8_t, kFeedbackLength> data) noexcept {
    return WatchData{
        .position = std::bit_cast<float>(le32(data.data())),
        .speed = count_of(data.data() + 4) / 10.0f,
        .current = count_of(data.data() + 6) / 100.0f,
    };
}

std::optional<WatchData> accept_feedback(std::uint32_t id, std::span<const std::uint8_t> data) noexcept {
    if (data.size() != kFeedbackLength) {
        warn_length(id, data.size());
        return std::nullopt;
    }
    return decode_feedback(data.first<kFeedbackLength>());
}

}  // namespace drovik::motor
