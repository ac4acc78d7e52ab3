#include "comm/socketcan/bus_health.hpp"

#include <linux/can/error.h>

namespace drovik::socketcan {

namespace {

constexpr std::uint32_t kCountersCarried = 1u << 16;

// The state a controller-status byte reports, if it reports one: passive
// outranks warning, which outranks the return to active.
std::optional<BusState> controller_state(std::uint8_t status) noexcept {
    if (status & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) return BusState::Passive;
    if (status & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) return BusState::Warning;
    if (status & CAN_ERR_CRTL_ACTIVE) return BusState::Active;
    return std::nullopt;
}

}  // namespace

std::string_view bus_state_name(BusState state) noexcept {
    switch (state) {
        case BusState::Active: return "active";
        case BusState::Warning: return "warning";
        case BusState::Passive: return "passive";
        case BusState::BusOff: return "bus-off";
        case BusState::Unknown: break;
    }
    return "unknown";
}

void BusHealth::take_error_frame(const can_frame& frame) noexcept {
    error_frames_.fetch_add(1, std::memory_order_relaxed);
    const canid_t classes = frame.can_id & CAN_ERR_MASK;
    // Only the bytes the frame says it carries count.
    auto byte = [&](std::size_t i) -> std::optional<std::uint8_t> {
        if (i < frame.len && i < CAN_MAX_DLEN) return frame.data[i];
        return std::nullopt;
    };
    if (classes & CAN_ERR_CNT) {
        auto tx = byte(6), rx = byte(7);
        if (tx && rx) {
            error_counters_.store(kCountersCarried | (std::uint32_t{*tx} << 8) | *rx, std::memory_order_relaxed);
        }
    }
    if (classes & CAN_ERR_BUSOFF) {
        if (state_.exchange(BusState::BusOff, std::memory_order_relaxed) != BusState::BusOff) {
            bus_off_.fetch_add(1, std::memory_order_relaxed);
        }
        return;
    }
    if (classes & CAN_ERR_RESTARTED) {
        restarts_.fetch_add(1, std::memory_order_relaxed);
        state_.store(BusState::Active, std::memory_order_relaxed);
    }
    if (classes & CAN_ERR_CRTL) {
        auto status = byte(1);
        if (auto state = status ? controller_state(*status) : std::nullopt) {
            state_.store(*state, std::memory_order_relaxed);
        }
    }
}

void BusHealth::take_drop_count(std::uint32_t kernel_count) noexcept {
    rx_dropped_.store(kernel_count, std::memory_order_relaxed);
}

void BusHealth::count_tx_failure() noexcept { tx_failed_.fetch_add(1, std::memory_order_relaxed); }

BusHealth::Report BusHealth::report() const noexcept {
    Report report;
    report.state = state_.load(std::memory_order_relaxed);
    report.error_frames = error_frames_.load(std::memory_order_relaxed);
    report.bus_off = bus_off_.load(std::memory_order_relaxed);
    report.restarts = restarts_.load(std::memory_order_relaxed);
    std::uint32_t counters = error_counters_.load(std::memory_order_relaxed);
    if (counters & kCountersCarried) {
        report.tx_errors = static_cast<std::uint8_t>(counters >> 8);
        report.rx_errors = static_cast<std::uint8_t>(counters);
    }
    report.rx_dropped = rx_dropped_.load(std::memory_order_relaxed);
    report.tx_failed = tx_failed_.load(std::memory_order_relaxed);
    return report;
}

}  // namespace drovik::socketcan
