#include "instance/motor/protocol/target_encoding.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace drovik::motor {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct EncodeCase {
    float target;
    MotorMode mode;
    std::int16_t count;
};

void PrintTo(const EncodeCase& c, std::ostream* os) {
    *os << c.target << " in mode " << static_cast<int>(c.mode) << " -> " << c.count;
}

class TargetCounts : public testing::TestWithParam<EncodeCase> {};

TEST_P(TargetCounts, AreTheSinglePrecisionProductClampedAndTruncated) {
    EXPECT_EQ(encode_target(GetParam().target, GetParam().mode), GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(
    Speed, TargetCounts,
    testing::Values(EncodeCase{10.0f, MotorMode::Speed, 100}, EncodeCase{-5.0f, MotorMode::Speed, -50},
                    EncodeCase{0.05f, MotorMode::Speed, 0}, EncodeCase{-0.05f, MotorMode::Speed, 0},
                    EncodeCase{-0.15f, MotorMode::Speed, -1}, EncodeCase{2.3f, MotorMode::Speed, 23},
                    EncodeCase{0.1f, MotorMode::Speed, 1}, EncodeCase{3276.7f, MotorMode::Speed, 32767},
                    EncodeCase{5000.0f, MotorMode::Speed, 32767},
                    EncodeCase{-4000.0f, MotorMode::Speed, -32768}));

INSTANTIATE_TEST_SUITE_P(
    CurrentAndPosition, TargetCounts,
    testing::Values(EncodeCase{1.234f, MotorMode::Current, 123}, EncodeCase{3.14159f, MotorMode::Position, 314},
                    // 0.53f * 100 is 52.999996f in single precision: truncation gives 52
                    EncodeCase{0.53f, MotorMode::Current, 52}, EncodeCase{0.53f, MotorMode::Position, 52},
                    EncodeCase{1.05f, MotorMode::Current, 104}, EncodeCase{-1.05f, MotorMode::Position, -104},
                    EncodeCase{327.67f, MotorMode::Current, 32767}, EncodeCase{327.68f, MotorMode::Current, 32767},
                    EncodeCase{-327.68f, MotorMode::Position, -32768},
                    EncodeCase{-327.69f, MotorMode::Current, -32768}, EncodeCase{-0.0f, MotorMode::Current, 0},
                    EncodeCase{-0.009f, MotorMode::Current, 0}));

INSTANTIATE_TEST_SUITE_P(
    NonFinite, TargetCounts,
    testing::Values(EncodeCase{kInf, MotorMode::Current, 32767}, EncodeCase{-kInf, MotorMode::Current, -32768},
                    EncodeCase{kInf, MotorMode::Speed, 32767}, EncodeCase{-kInf, MotorMode::Position, -32768},
                    EncodeCase{kNaN, MotorMode::Current, 0}, EncodeCase{kNaN, MotorMode::Speed, 0},
                    EncodeCase{-kNaN, MotorMode::Position, 0},
                    EncodeCase{std::numeric_limits<float>::max(), MotorMode::Speed, 32767},
                    EncodeCase{std::numeric_limits<float>::lowest(), MotorMode::Current, -32768}));

struct NarrowCase {
    double value;
    float single;
};

void PrintTo(const NarrowCase& c, std::ostream* os) {
    *os << std::hexfloat << c.value;
}

class NarrowedTargets : public testing::TestWithParam<NarrowCase> {};

TEST_P(NarrowedTargets, RoundToTheNearestFloat) {
    const float got = narrow_target(GetParam().value);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(GetParam().single))
        << GetParam().value << " gave " << got;
}

INSTANTIATE_TEST_SUITE_P(
    Values, NarrowedTargets,
    testing::Values(NarrowCase{0.1, 0x1.99999ap-4f},  // reads back as 0.10000000149011612
                    NarrowCase{0x1.000001p0, 1.0f},  // exactly halfway: to even
                    NarrowCase{0x1.0000010000001p0, 0x1.000002p0f}, NarrowCase{0x1.000003p0, 0x1.000004p0f},
                    NarrowCase{-0.0, -0.0f}, NarrowCase{1e39, kInf}, NarrowCase{-1e39, -kInf},
                    // below the midpoint between the largest float and 2^128 it stays finite
                    NarrowCase{0x1.fffffefffffffp127, std::numeric_limits<float>::max()},
                    NarrowCase{0x1.ffffffp127, kInf}, NarrowCase{1e-50, 0.0f}));

TEST(NarrowedTargets, KeepNaN) {
    EXPECT_TRUE(std::isnan(narrow_target(std::numeric_limits<double>::quiet_NaN())));
}

}  // namespace
}  // namespace drovik::motor
