// The kernel's classic CAN frame, built and read by our identifier rules.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <span>

#include "runtime/result.hpp"

namespace drovik::socketcan {

inline constexpr std::uint32_t kExtendedIdMask = 0x1FFFFFFF;
inline constexpr std::uint32_t kStandardIdMask = 0x7FF;
inline constexpr std::uint32_t kFirstExtendedId = 0x800;
inline constexpr std::size_t kMaxPayload = 8;

// A 16-byte stack value, exactly the layout read and written on the socket.
class CANFrame {
public:
    CANFrame() noexcept : raw_{} {}

    // Identifiers below 0x800 go out as standard frames, all others as extended;
    // the payload length is checked before the identifier.
    static rt::Result<CANFrame> make(std::uint32_t id, std::span<const std::uint8_t> payload,
                                     bool remote_request = false, bool error_frame = false) noexcept;
    // The checks of make() alone, in its order, for a payload of `length` bytes.
    static rt::Result<void> check(std::uint32_t id, std::size_t length) noexcept;

    // The identifier without flag bits: standard and extended 0x123 look alike.
    std::uint32_t id() const noexcept;
    std::span<const std::uint8_t> data() const noexcept { return {raw_.data, raw_.len}; }

    std::uint32_t id_word() const noexcept { return raw_.can_id; }
    bool extended() const noexcept { return (raw_.can_id & CAN_EFF_FLAG) != 0; }
    // A request for data: its length field says how much, but it carries none.
    bool remote() const noexcept { return (raw_.can_id & CAN_RTR_FLAG) != 0; }
    can_frame& raw() noexcept { return raw_; }
    const can_frame& raw() const noexcept { return raw_; }

private:
    can_frame raw_;
};

static_assert(sizeof(CANFrame) == 16);

}  // namespace drovik::socketcan
