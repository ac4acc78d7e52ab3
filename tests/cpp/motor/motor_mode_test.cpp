#include "instance/motor/protocol/motor_mode.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace drovik::motor {
namespace {

struct KnownMode {
    std::string_view text;
    MotorMode mode;
};

void PrintTo(const KnownMode& m, std::ostream* os) {
    *os << m.text;
}

class ModeNames : public testing::TestWithParam<KnownMode> {};

TEST_P(ModeNames, ParseToTheirMode) {
    auto parsed = parse_motor_mode(GetParam().text);
    ASSERT_TRUE(parsed) << parsed.error().text;
    EXPECT_EQ(*parsed, GetParam().mode);
}

INSTANTIATE_TEST_SUITE_P(AllThree, ModeNames,
                         testing::Values(KnownMode{"current", MotorMode::Current},
                                         KnownMode{"speed", MotorMode::Speed},
                                         KnownMode{"position", MotorMode::Position}));

TEST(ModeNumbering, IsFixed) {
    EXPECT_EQ(static_cast<int>(MotorMode::Current), 0);
    EXPECT_EQ(static_cast<int>(MotorMode::Speed), 1);
    EXPECT_EQ(static_cast<int>(MotorMode::Position), 2);
    EXPECT_EQ(sizeof(MotorMode), 1u);
}

class UnknownModes : public testing::TestWithParam<std::string> {};

TEST_P(UnknownModes, AreInvalidInputQuotingTheTextByteForByte) {
    const std::string& text = GetParam();
    auto parsed = parse_motor_mode(text);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().kind, rt::ErrorKind::InvalidInput);
    EXPECT_EQ(parsed.error().text, "unknown mode '" + text + "', expected 'current', 'speed', or 'position'");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UnknownModes,
    testing::Values("torque", "", "speed ", " speed", "spee", "speedy", "currents",
                    std::string("speed\0", 6),          // no C-string comparison
                    "Speed",                            // lowering is the caller's job
                    "\xef\xbd\x93\xef\xbd\x90\xef\xbd\x85\xef\xbd\x85\xef\xbd\x84",  // fullwidth, lowered
                    "posi\xcc\x87ti\xcc\x87on"));       // dotted capital I, lowered

}  // namespace
}  // namespace drovik::motor
