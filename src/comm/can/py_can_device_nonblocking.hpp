// The Python class CanDeviceNonBlocking: the queue-backed device. send only
// queues the frame for the background socket task; try_receive and
// receive_timeout wait for the receive queue (and for a caller ahead of them on
// it), never for the bus.
#pragma once

#include <Python.h>

namespace drovik::comm::can {

// The Python class CanDeviceNonBlocking: queue-backed send and receive.
PyTypeObject* can_device_nonblocking_type();

}  // namespace drovik::comm::can
