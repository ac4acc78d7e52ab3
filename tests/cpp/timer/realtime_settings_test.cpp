#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/timer/realtime_settings.hpp"

namespace drovik::timer {
namespace {

rt::Result<RealtimeSettings> parse(const std::map<std::string, std::string>& env) {
    return parse_realtime_settings([&](const char* name) -> const char* {
        auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
    });
}

std::vector<int> cpus_of(const RealtimeSettings& settings) {
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &*settings.cpus)) cpus.push_back(cpu);
    }
    return cpus;
}

TEST(RealtimeSettings, NothingSetOrEmptyAsksForNothing) {
    for (const auto& env : {std::map<std::string, std::string>{},
                            {{"DROVIK_RT_PRIORITY", ""}, {"DROVIK_RT_CPUS", ""}, {"DROVIK_RT_MLOCK", ""}}}) {
        auto settings = parse(env);
        ASSERT_TRUE(settings.ok()) << settings.error().text;
        EXPECT_FALSE(settings.value().any());
    }
}

struct CpusCase {
    const char* text;
    std::vector<int> cpus;
};

class RealtimeCpusTest : public ::testing::TestWithParam<CpusCase> {};

TEST_P(RealtimeCpusTest, ListsAndRangesGiveTheirCpus) {
    auto settings = parse({{"DROVIK_RT_CPUS", GetParam().text}});
    ASSERT_TRUE(settings.ok()) << settings.error().text;
    EXPECT_EQ(cpus_of(settings.value()), GetParam().cpus);
    EXPECT_EQ(settings.value().cpus_text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Lists, RealtimeCpusTest,
                         ::testing::Values(CpusCase{"2", {2}}, CpusCase{"2,3", {2, 3}}, CpusCase{"2-3", {2, 3}},
                                           CpusCase{"0,2-4,4", {0, 2, 3, 4}}, CpusCase{"5-5", {5}},
                                           CpusCase{"1023", {1023}}));

TEST(RealtimeSettings, PriorityBoundsAndMemoryLockAreTaken) {
    for (const char* priority : {"1", "50", "99"}) {
        auto settings = parse({{"DROVIK_RT_PRIORITY", priority}, {"DROVIK_RT_MLOCK", "1"}});
        ASSERT_TRUE(settings.ok()) << settings.error().text;
        EXPECT_EQ(settings.value().priority, std::stoi(priority));
        EXPECT_TRUE(settings.value().lock_memory);
    }
    auto off = parse({{"DROVIK_RT_MLOCK", "0"}});
    ASSERT_TRUE(off.ok());
    EXPECT_FALSE(off.value().any());
}

TEST(RealtimeSettings, SpinIsLearnedUnlessFixedIsAsked) {
    for (const auto& [value, fixed] : {std::pair{"", false}, {"adaptive", false}, {"fixed", true}}) {
        auto settings = parse({{"DROVIK_TIMER_SPIN", value}});
        ASSERT_TRUE(settings.ok()) << settings.error().text;
        EXPECT_EQ(settings.value().fixed_spin, fixed) << value;
    }
}

struct MalformedCase {
    const char* name;
    const char* value;
};

class RealtimeMalformedTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(RealtimeMalformedTest, NamesTheVariableAndItsValue) {
    auto settings = parse({{GetParam().name, GetParam().value}});
    ASSERT_FALSE(settings.ok());
    EXPECT_EQ(settings.error().text.rfind(std::string(GetParam().name) + "='" + GetParam().value + "' is not ", 0), 0u)
        << settings.error().text;
}

INSTANTIATE_TEST_SUITE_P(
    Values, RealtimeMalformedTest,
    ::testing::Values(MalformedCase{"DROVIK_RT_PRIORITY", "0"}, MalformedCase{"DROVIK_RT_PRIORITY", "100"},
                      MalformedCase{"DROVIK_RT_PRIORITY", "-5"}, MalformedCase{"DROVIK_RT_PRIORITY", "+5"},
                      MalformedCase{"DROVIK_RT_PRIORITY", " 5"}, MalformedCase{"DROVIK_RT_PRIORITY", "5x"},
                      MalformedCase{"DROVIK_RT_PRIORITY", "0x10"}, MalformedCase{"DROVIK_RT_PRIORITY", "4294967301"},
                      MalformedCase{"DROVIK_RT_CPUS", "a"}, MalformedCase{"DROVIK_RT_CPUS", "3-2"},
                      MalformedCase{"DROVIK_RT_CPUS", "2,"}, MalformedCase{"DROVIK_RT_CPUS", ",2"},
                      MalformedCase{"DROVIK_RT_CPUS", "1-"}, MalformedCase{"DROVIK_RT_CPUS", "2--3"},
                      MalformedCase{"DROVIK_RT_CPUS", "1024"}, MalformedCase{"DROVIK_RT_CPUS", "2 3"},
                      MalformedCase{"DROVIK_RT_MLOCK", "yes"}, MalformedCase{"DROVIK_RT_MLOCK", "2"},
                      MalformedCase{"DROVIK_TIMER_SPIN", "Fixed"}, MalformedCase{"DROVIK_TIMER_SPIN", "1"}));

}  // namespace
}  // namespace drovik::timer
