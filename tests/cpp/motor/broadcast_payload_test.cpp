#include "instance/motor/protocol/broadcast_payload.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace drovik::motor {
namespace {

struct Placement {
    std::uint8_t slot;
    MotorMode mode;
    float target;
};

struct PayloadCase {
    const char* name;
    std::vector<Placement> placements;  // in list order
    BroadcastPayload::Bytes bytes;
};

class Payloads : public testing::TestWithParam<PayloadCase> {};

TEST_P(Payloads, HoldEachSlotsCountLittleEndian) {
    BroadcastPayload payload;
    for (const Placement& p : GetParam().placements) payload.place(p.slot, p.mode, p.target);
    EXPECT_EQ(payload.bytes(), GetParam().bytes);
}

constexpr auto S = MotorMode::Speed;
constexpr auto C = MotorMode::Current;
constexpr auto P = MotorMode::Position;

INSTANTIATE_TEST_SUITE_P(
    Groups, Payloads,
    testing::Values(
        PayloadCase{"Empty", {}, {0, 0, 0, 0, 0, 0, 0, 0}},
        PayloadCase{"Slots0And1", {{0, S, 10.0f}, {1, S, -5.0f}}, {0x64, 0, 0xCE, 0xFF, 0, 0, 0, 0}},
        PayloadCase{"Slots0And2", {{0, S, 10.0f}, {2, S, -5.0f}}, {0x64, 0, 0, 0, 0xCE, 0xFF, 0, 0}},
        PayloadCase{"LaterWinsInSlot1", {{1, C, 1.0f}, {1, C, 2.0f}}, {0, 0, 0xC8, 0, 0, 0, 0, 0}},
        PayloadCase{"LaterWinsReversed", {{1, C, 2.0f}, {1, C, 1.0f}}, {0, 0, 0x64, 0, 0, 0, 0, 0}},
        PayloadCase{"LaterNaNZeroesTheSlot", {{2, P, 1.0f}, {2, P, std::numeric_limits<float>::quiet_NaN()}},
                    {0, 0, 0, 0, 0, 0, 0, 0}},
        PayloadCase{"MixedModes",
                    {{0, P, 3.14159f}, {1, C, 0.53f}, {2, S, -0.15f}, {3, S, 5000.0f}},
                    {0x3A, 0x01, 0x34, 0x00, 0xFF, 0xFF, 0xFF, 0x7F}},
        PayloadCase{"Saturated", {{0, C, -1e9f}, {3, C, 1e9f}}, {0x00, 0x80, 0, 0, 0, 0, 0xFF, 0x7F}},
        PayloadCase{"SlotAboveThreeLandsInThree", {{7, S, 10.0f}, {255, S, -5.0f}, {4, S, 2.3f}},
                    {0, 0, 0, 0, 0, 0, 0x17, 0x00}}),
    [](const testing::TestParamInfo<PayloadCase>& info) { return std::string(info.param.name); });

struct SlotCase {
    std::uint8_t requested;
    std::uint8_t slot;
};

void PrintTo(const SlotCase& c, std::ostream* os) {
    *os << int(c.requested);
}

class Slots : public testing::TestWithParam<SlotCase> {};

TEST_P(Slots, AboveThreeBecomeThree) {
    EXPECT_EQ(broadcast_slot(GetParam().requested), GetParam().slot);
}

INSTANTIATE_TEST_SUITE_P(Requested, Slots,
                         testing::Values(SlotCase{0, 0}, SlotCase{1, 1}, SlotCase{2, 2}, SlotCase{3, 3},
                                         SlotCase{4, 3}, SlotCase{9, 3}, SlotCase{255, 3}));

}  // namespace
}  // namespace drovik::motor
