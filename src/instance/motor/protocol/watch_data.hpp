// The decoded feedback of one driver. A plain value, stored and read whole under
// the driver's watch lock, so a reader never sees a mix of two frames.
#pragma once

namespace drovik::motor {

// One driver's decoded feedback, copied whole in and out of its owner.
struct WatchData {
    float position = 0.0f;  // rad
    float speed = 0.0f;     // rad/s
    float current = 0.0f;   // A

    friend bool operator==(const WatchData&, const WatchData&) = default;
};

}  // namespace drovik::motor
