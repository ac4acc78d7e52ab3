// One CAN frame as the rest of the module carries it between queues: 16 bytes,
// the payload inline.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

namespace drovik::comm::can {

struct CanMessage {
    std::uint32_t id = 0;      // no flag bits when received; as given when queued for sending
    std::uint32_t length = 0;  // payload bytes given; above 8 only for a frame queued to be refused
    std::array<std::uint8_t, 8> bytes{};  // the first min(length, 8) of them

    // Keeps the length of a payload too long for a frame, so that building the
    // frame later refuses it with the usual text.
    static CanMessage of(std::uint32_t id, std::span<const std::uint8_t> payload) noexcept {
        CanMessage message;
        message.id = id;
        message.length = static_cast<std::uint32_t>(std::min<std::size_t>(payload.size(), UINT32_MAX));
        std::copy_n(payload.begin(), std::min<std::size_t>(payload.size(), message.bytes.size()),
                    message.bytes.begin());
        return message;
    }

    std::span<const std::uint8_t> data() const noexcept {
        return {bytes.data(), std::min<std::size_t>(length, bytes.size())};
    }
};

static_assert(sizeof(CanMessage) == 16);

}  // namespace drovik::comm::can
