#include "diag/line_buffer.hpp"
#include "instance/motor/protocol/feedback_decoding.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace drovik::motor {
namespace {

using Frame = std::array<std::uint8_t, kFeedbackLength>;

// Expected values are what Python shows: the floats widened to double.
struct DecodeCase {
    Frame data;
    double position;
    double speed;
    double current;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.data);
}

class Feedback : public testing::TestWithParam<DecodeCase> {};

TEST_P(Feedback, DecodesToTheExactFloats) {
    const WatchData w = decode_feedback(GetParam().data);
    EXPECT_EQ(static_cast<double>(w.position), GetParam().position);
    EXPECT_EQ(static_cast<double>(w.speed), GetParam().speed);
    EXPECT_EQ(static_cast<double>(w.current), GetParam().current);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Feedback,
    testing::Values(
        DecodeCase{{0x00, 0x00, 0x80, 0x3F, 0x64, 0x00, 0x9C, 0xFF}, 1.0, 10.0, -1.0},
        DecodeCase{{0xDB, 0x0F, 0x49, 0x40, 0x01, 0x00, 0x01, 0x00}, 3.1415927410125732, 0.10000000149011612,
                   0.009999999776482582},
        DecodeCase{{0x00, 0x00, 0x00, 0x00, 0xFF, 0x7F, 0x00, 0x80}, 0.0, 3276.699951171875,
                   -327.67999267578125},
        DecodeCase{{0x00, 0x00, 0x00, 0xC0, 0x00, 0x80, 0xFF, 0x7F}, -2.0, -3276.800048828125,
                   327.6700134277344},
        DecodeCase{{0x00, 0x00, 0x80, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}, INFINITY, -0.10000000149011612,
                   -0.009999999776482582},
        DecodeCase{{0x00, 0x00, 0x80, 0xFF, 0x03, 0x00, 0x35, 0x00}, -INFINITY, 0.30000001192092896,
                   0.5299999713897705},
        // counts where a multiplication by 0.1f or 0.01f would be one ulp off
        DecodeCase{{0x00, 0x00, 0x00, 0x80, 0x09, 0x00, 0x05, 0x00}, -0.0, 0.8999999761581421,
                   0.05000000074505806}));

// NaN payloads and the sign of zero survive: the position is not converted.
class PositionBits : public testing::TestWithParam<std::uint32_t> {};

TEST_P(PositionBits, PassThroughUnchanged) {
    const std::uint32_t bits = GetParam();
    const Frame data{static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                     static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24), 0, 0, 0, 0};
    EXPECT_EQ(std::bit_cast<std::uint32_t>(decode_feedback(data).position), bits);
}

INSTANTIATE_TEST_SUITE_P(Bits, PositionBits, testing::Values(0x7FC00000u, 0xFFC00000u, 0x7FC12345u, 0x80000000u));

struct LengthCase {
    std::uint32_t id;
    std::size_t length;
    std::string line;  // empty: accepted, nothing written
};

void PrintTo(const LengthCase& c, std::ostream* os) {
    *os << "id " << c.id << " length " << c.length;
}

class LengthRule : public testing::TestWithParam<LengthCase> {};

TEST_P(LengthRule, DropsAnyLengthButEightWithOneWarningLine) {
    const std::vector<std::uint8_t> data(GetParam().length, 0x11);
    diag::LineBuffer<256> lines;
    const auto accepted = accept_feedback(GetParam().id, data, lines);
    testing::internal::CaptureStderr();
    lines.write();
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, GetParam().line);
    EXPECT_EQ(accepted.has_value(), GetParam().line.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, LengthRule,
    testing::Values(LengthCase{0x201, 7, "Warning: ignoring CAN frame 0x201 with unexpected length 7\n"},
                    LengthCase{0x201, 0, "Warning: ignoring CAN frame 0x201 with unexpected length 0\n"},
                    LengthCase{0x0, 1, "Warning: ignoring CAN frame 0x0 with unexpected length 1\n"},
                    LengthCase{0xABCDEF, 9, "Warning: ignoring CAN frame 0xABCDEF with unexpected length 9\n"},
                    LengthCase{0x1FFFFFFF, 64, "Warning: ignoring CAN frame 0x1FFFFFFF with unexpected length 64\n"},
                    LengthCase{0xFFFFFFFF, 3, "Warning: ignoring CAN frame 0xFFFFFFFF with unexpected length 3\n"},
                    LengthCase{0x201, 8, ""}, LengthCase{0xFFFFFFFF, 8, ""}));

TEST(LengthRule, AcceptedFramesAreDecoded) {
    const std::uint8_t data[] = {0x00, 0x00, 0x80, 0x3F, 0x64, 0x00, 0x9C, 0xFF};
    diag::LineBuffer<256> lines;
    const auto accepted = accept_feedback(0x201, data, lines);
    EXPECT_TRUE(lines.empty());
    ASSERT_TRUE(accepted);
    EXPECT_EQ(*accepted, (WatchData{1.0f, 10.0f, -1.0f}));
}

TEST(WatchDataRecord, StartsAllZero) {
    EXPECT_EQ(WatchData{}, (WatchData{0.0f, 0.0f, 0.0f}));
}

}  // namespace
}  // namespace drovik::motor
