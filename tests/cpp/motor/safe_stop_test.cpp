#include "instance/motor/safe_stop.hpp"

#include <gtest/gtest.h>

#include "instance/motor/motor_group.hpp"

namespace drovik::motor {
namespace {

// A group without a socket: the stop frame goes nowhere, the hold is what is tested.
struct Group {
    std::shared_ptr<DeviceList> list = std::make_shared<DeviceList>(0x100);
    std::shared_ptr<SafeStop> safe_stop = SafeStop::create(list, {});

    std::shared_ptr<Device> add(std::uint8_t slot) {
        auto device = Device::create(slot, 0x201 + slot, MotorMode::Speed, {}, safe_stop->hold());
        list->devices.push_back(device);
        return device;
    }
    bool admits(Caller caller) { return safe_stop->admit(caller).has_value(); }
};

TEST(SafeStop, WithoutAStopTargetAStopHoldsNothingBack) {
    Group group;
    auto wheel = group.add(0);
    wheel->set_stop_target(1.0f);
    wheel->set_stop_target(std::nullopt);
    group.safe_stop->stop();
    EXPECT_TRUE(group.admits(Caller::Worker));
}

struct Release {
    const char* name;
    void (*act)(Group&, Device&);
    bool workers_admitted;
};

class AfterAStop : public ::testing::TestWithParam<Release> {};

TEST_P(AfterAStop, WorkersAreHeldBackUntilTheProgramActs) {
    Group group;
    auto wheel = group.add(0);
    group.add(1);
    wheel->set_stop_target(-1.0f);
    group.safe_stop->stop();
    EXPECT_FALSE(group.admits(Caller::Worker));
    GetParam().act(group, *wheel);
    EXPECT_EQ(group.admits(Caller::Worker), GetParam().workers_admitted);
}

INSTANTIATE_TEST_SUITE_P(
    SafeStop, AfterAStop,
    ::testing::Values(
        Release{"nothing", [](Group&, Device&) {}, false},
        Release{"worker_target", [](Group&, Device& d) { d.set_target(3.0f, Caller::Worker); }, false},
        Release{"stopped_again", [](Group& g, Device&) { g.safe_stop->stop(); }, false},
        Release{"program_target", [](Group&, Device& d) { d.set_target(3.0f, Caller::Program); }, true},
        Release{"program_broadcast", [](Group& g, Device&) { EXPECT_TRUE(g.admits(Caller::Program)); }, true}),
    [](const auto& info) { return info.param.name; });

TEST(SafeStop, ARetiredGroupStopsNoMore) {
    Group group;
    auto wheel = group.add(0);
    group.safe_stop->retire();  // no stop target yet: nothing to send, no hold
    wheel->set_stop_target(0.0f);
    group.safe_stop->stop();
    EXPECT_TRUE(group.admits(Caller::Worker));
}

}  // namespace
}  // namespace drovik::motor
