// What the controller and the kernel said about one socket's bus: the state and
// counters its error frames carry, the frames the kernel dropped for the socket
// and the frames it refused to send. Written by whoever reads or writes the
// socket (they take turns), read from any thread: atomics only, so recording
// never blocks and never allocates.
#pragma once

#include <linux/can.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

namespace drovik::socketcan {

enum class BusState : std::uint8_t { Unknown, Active, Warning, Passive, BusOff };

// "unknown", "active", "warning", "passive", "bus-off".
std::string_view bus_state_name(BusState state) noexcept;

class BusHealth {
public:
    struct Report {
        BusState state = BusState::Unknown;
        std::uint64_t error_frames = 0;
        std::uint64_t bus_off = 0;   // entries into bus-off
        std::uint64_t restarts = 0;
        std::optional<std::uint8_t> tx_errors;  // the controller's counters, once a frame carried them
        std::optional<std::uint8_t> rx_errors;
        std::uint64_t rx_dropped = 0;  // as the kernel last counted them for the socket
        std::uint64_t tx_failed = 0;
    };

    // One frame with the error flag, decoded by the kernel's error-frame layout.
    void take_error_frame(const can_frame& frame) noexcept;
    // The socket's drop count that came with a received frame.
    void take_drop_count(std::uint32_t kernel_count) noexcept;
    void count_tx_failure() noexcept;

    Report report() const noexcept;

private:
    std::atomic<BusState> state_{BusState::Unknown};
    std::atomic<std::uint64_t> error_frames_{0};
    std::atomic<std::uint64_t> bus_off_{0};
    std::atomic<std::uint64_t> restarts_{0};
    // Both counters in one word, so a report never mixes two frames' counters:
    // bit 16 says a frame carried them, tx in bits 8-15, rx in bits 0-7.
    std::atomic<std::uint32_t> error_counters_{0};
    std::atomic<std::uint32_t> rx_dropped_{0};
    std::atomic<std::uint64_t> tx_failed_{0};
};

}  // namespace drovik::socketcan
