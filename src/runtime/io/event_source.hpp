#pragma once

#include <cstdint>

namespace drovik::rt {

// Anything the reactor watches: it is told the epoll events of its descriptor.
class EventSource {
public:
    virtual void on_events(std::uint32_t events) = 0;

protected:
    ~EventSource() = default;
};

}  // namespace drovik::rt
