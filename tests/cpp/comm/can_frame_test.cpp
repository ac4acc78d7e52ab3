#include "comm/socketcan/can_frame.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace drovik::socketcan {
namespace {

struct IdCase {
    std::uint32_t id;
    std::uint32_t word;
};

class FrameIdWord : public testing::TestWithParam<IdCase> {};

TEST_P(FrameIdWord, StandardBelow0x800ExtendedFrom0x800) {
    auto frame = CANFrame::make(GetParam().id, {});
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->id_word(), GetParam().word);
    EXPECT_EQ(frame->id(), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(Identifiers, FrameIdWord,
                         testing::Values(IdCase{0x000, 0x00000000}, IdCase{0x123, 0x00000123},
                                         IdCase{0x7FF, 0x000007FF}, IdCase{0x800, 0x80000800},
                                         IdCase{0x1FFFFFFF, 0x9FFFFFFF}));

TEST(FrameBuild, FlagsAreOredIntoTheWord) {
    auto frame = CANFrame::make(0x123, {}, true, true);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->id_word(), 0x60000123u);
    EXPECT_EQ(frame->id(), 0x123u);  // flags never show in the identifier
}

TEST(FrameBuild, PayloadIsCopiedAndTheRestZeroed) {
    const std::uint8_t payload[] = {1, 2, 3};
    auto frame = CANFrame::make(0x100, payload);
    ASSERT_TRUE(frame);
    const auto& raw = frame->raw();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&raw);
    EXPECT_EQ(bytes[4], 3);  // length
    EXPECT_EQ(bytes[5], 0);  // padding and the two reserved bytes
    EXPECT_EQ(bytes[6], 0);
    EXPECT_EQ(bytes[7], 0);
    const std::uint8_t expected[8] = {1, 2, 3, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(raw.data, expected, 8), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(frame->data().begin(), frame->data().end()),
              (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST(FrameBuild, EmptyPayloadHasLengthZeroAndZeroBytes) {
    auto frame = CANFrame::make(0x100, {});
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->raw().len, 0);
    EXPECT_TRUE(frame->data().empty());
    const std::uint8_t zeros[8] = {};
    EXPECT_EQ(std::memcmp(frame->raw().data, zeros, 8), 0);
}

struct BadCase {
    std::uint32_t id;
    std::size_t length;
    const char* text;
};

class FrameRefused : public testing::TestWithParam<BadCase> {};

TEST_P(FrameRefused, WithTheFixedText) {
    std::vector<std::uint8_t> payload(GetParam().length, 0xAA);
    auto frame = CANFrame::make(GetParam().id, payload);
    ASSERT_FALSE(frame);
    EXPECT_EQ(frame.error().text, GetParam().text);
    EXPECT_EQ(frame.error().kind, rt::ErrorKind::InvalidInput);
}

INSTANTIATE_TEST_SUITE_P(
    LengthBeforeIdentifier, FrameRefused,
    testing::Values(BadCase{0x100, 9, "Payload is larger than CAN maximum of 8 bytes"},
                    BadCase{0x20000000, 9, "Payload is larger than CAN maximum of 8 bytes"},
                    BadCase{0x20000000, 0, "CAN ID too large"}, BadCase{0xFFFFFFFF, 8, "CAN ID too large"}));

struct ReceivedCase {
    std::uint32_t word;
    std::uint32_t id;
};

class ReceivedId : public testing::TestWithParam<ReceivedCase> {};

TEST_P(ReceivedId, DropsFlagBits) {
    CANFrame frame;
    frame.raw().can_id = GetParam().word;
    EXPECT_EQ(frame.id(), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(Words, ReceivedId,
                         testing::Values(ReceivedCase{0x80000123, 0x123}, ReceivedCase{0x00000123, 0x123},
                                         ReceivedCase{0xC0000123, 0x123},  // extended remote request
                                         ReceivedCase{0x40000123, 0x123},  // standard remote request
                                         ReceivedCase{0x0000F123, 0x123},  // stray bits above a standard id
                                         ReceivedCase{0x9FFFFFFF, 0x1FFFFFFF}));

}  // namespace
}  // namespace drovik::socketcan
