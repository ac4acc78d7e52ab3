// Where a broadcast group's socket task puts the frames it reads: each feedback
// frame is decoded and stored into its driver right there, in bus order.
#pragma once

#include <memory>

#include "comm/can/port.hpp"
#include "comm/socketcan/stamp_clock.hpp"

namespace drovik::motor {

struct DeviceList;

class FeedbackSink final : public comm::can::FrameSink {
public:
    explicit FeedbackSink(std::shared_ptr<DeviceList> list) : list_(std::move(list)) {}

    // Remote requests carry no data and are passed over. Other frames of a length
    // but 8 and frames no driver claims are reported on standard error and dropped.
    // Stores each driver's feedback with the time the kernel received it.
    bool take(const socketcan::CANFrame& frame, std::int64_t received_ns, comm::can::SinkLines& lines) override;

private:
    std::shared_ptr<DeviceList> list_;
    socketcan::StampClock clock_;  // guarded by the port's receive lock, as every take is
};

}  // namespace drovik::motor
