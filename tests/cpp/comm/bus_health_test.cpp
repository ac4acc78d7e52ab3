#include "comm/socketcan/bus_health.hpp"

#include <gtest/gtest.h>
#include <linux/can/error.h>

#include <initializer_list>
#include <vector>

namespace drovik::socketcan {
namespace {

can_frame error_frame(canid_t classes, std::initializer_list<std::uint8_t> data) {
    can_frame frame{};
    frame.can_id = CAN_ERR_FLAG | classes;
    frame.len = static_cast<std::uint8_t>(data.size());
    std::size_t i = 0;
    for (auto byte : data) frame.data[i++] = byte;
    return frame;
}

struct StateCase {
    const char* name;
    std::vector<can_frame> frames;
    BusState state;
    std::uint64_t bus_off;
    std::uint64_t restarts;
};

class ErrorFrameStates : public testing::TestWithParam<StateCase> {};

TEST_P(ErrorFrameStates, FollowTheControllerReports) {
    BusHealth health;
    for (const auto& frame : GetParam().frames) health.take_error_frame(frame);
    auto report = health.report();
    EXPECT_EQ(report.state, GetParam().state);
    EXPECT_EQ(report.error_frames, GetParam().frames.size());
    EXPECT_EQ(report.bus_off, GetParam().bus_off);
    EXPECT_EQ(report.restarts, GetParam().restarts);
}

const can_frame kRxWarning = error_frame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_RX_WARNING, 0, 0, 0, 0, 0, 0});
const can_frame kTxPassive = error_frame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_TX_PASSIVE | CAN_ERR_CRTL_TX_WARNING, 0, 0, 0, 0, 0, 0});
const can_frame kBackToActive = error_frame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_ACTIVE, 0, 0, 0, 0, 0, 0});
const can_frame kBusOff = error_frame(CAN_ERR_BUSOFF, {0, 0, 0, 0, 0, 0, 0, 0});
const can_frame kRestarted = error_frame(CAN_ERR_RESTARTED, {0, 0, 0, 0, 0, 0, 0, 0});
const can_frame kRxOverflow = error_frame(CAN_ERR_CRTL, {0, CAN_ERR_CRTL_RX_OVERFLOW, 0, 0, 0, 0, 0, 0});
const can_frame kProtocol = error_frame(CAN_ERR_PROT | CAN_ERR_BUSERROR, {0, 0, CAN_ERR_PROT_BIT, 0, 0, 0, 0, 0});
const can_frame kStatusCut = error_frame(CAN_ERR_CRTL, {0});  // the status byte lies beyond its length

INSTANTIATE_TEST_SUITE_P(
    Reports, ErrorFrameStates,
    testing::Values(StateCase{"none", {}, BusState::Unknown, 0, 0},
                    StateCase{"warning", {kRxWarning}, BusState::Warning, 0, 0},
                    StateCase{"passive_outranks_warning", {kTxPassive}, BusState::Passive, 0, 0},
                    StateCase{"back_to_active", {kTxPassive, kBackToActive}, BusState::Active, 0, 0},
                    StateCase{"overflow_keeps_the_state", {kRxWarning, kRxOverflow}, BusState::Warning, 0, 0},
                    StateCase{"bus_errors_keep_the_state", {kProtocol}, BusState::Unknown, 0, 0},
                    StateCase{"short_status_is_no_report", {kStatusCut}, BusState::Unknown, 0, 0},
                    StateCase{"bus_off", {kTxPassive, kBusOff}, BusState::BusOff, 1, 0},
                    StateCase{"bus_off_repeated_is_one_entry", {kBusOff, kBusOff}, BusState::BusOff, 1, 0},
                    StateCase{"restarted", {kBusOff, kRestarted}, BusState::Active, 1, 1},
                    StateCase{"second_entry", {kBusOff, kRestarted, kBusOff}, BusState::BusOff, 2, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorCounters, AbsentUntilAFrameCarriesThem) {
    BusHealth health;
    health.take_error_frame(kRxWarning);
    EXPECT_FALSE(health.report().tx_errors);
    EXPECT_FALSE(health.report().rx_errors);
    health.take_error_frame(error_frame(CAN_ERR_CRTL | CAN_ERR_CNT, {0, CAN_ERR_CRTL_TX_PASSIVE, 0, 0, 0, 0, 130, 7}));
    auto report = health.report();
    EXPECT_EQ(report.state, BusState::Passive);
    EXPECT_EQ(report.tx_errors, 130);
    EXPECT_EQ(report.rx_errors, 7);
    // A frame too short to hold them leaves the last ones.
    health.take_error_frame(error_frame(CAN_ERR_CNT, {0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(health.report().tx_errors, 130);
}

TEST(DropsAndFailures, AreCountedAsReported) {
    BusHealth health;
    health.take_drop_count(12);
    health.take_drop_count(40);
    health.count_tx_failure();
    health.count_tx_failure();
    auto report = health.report();
    EXPECT_EQ(report.rx_dropped, 40u);
    EXPECT_EQ(report.tx_failed, 2u);
    EXPECT_EQ(report.error_frames, 0u);
}

TEST(StateNames, AreTheDictValues) {
    EXPECT_EQ(bus_state_name(BusState::Unknown), "unknown");
    EXPECT_EQ(bus_state_name(BusState::Active), "active");
    EXPECT_EQ(bus_state_name(BusState::Warning), "warning");
    EXPECT_EQ(bus_state_name(BusState::Passive), "passive");
    EXPECT_EQ(bus_state_name(BusState::BusOff), "bus-off");
}

}  // namespace
}  // namespace drovik::socketcan
