// What the reactor calls back: one object per watched descriptor, its address
// kept in the epoll event. on_events runs on the driving thread, which serves
// everyone, so it must not block: it records what happened and wakes.
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
