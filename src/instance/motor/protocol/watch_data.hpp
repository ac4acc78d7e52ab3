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
