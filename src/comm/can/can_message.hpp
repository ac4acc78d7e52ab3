// One CAN frame as the rest of the module carries it between queues.
#pragma once

#include <cstdint>
#include <vector>

namespace drovik::comm::can {

struct CanMessage {
    std::uint32_t id;                // no flag bits when received; as given when queued for sending
    std::vector<std::uint8_t> data;  // at most 8 bytes when received; checked only when the frame is built
};

}  // namespace drovik::comm::can
