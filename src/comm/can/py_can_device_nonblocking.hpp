#pragma once

#include <Python.h>

namespace drovik::comm::can {

// The Python class CanDeviceNonBlocking: queue-backed send and receive.
PyTypeObject* can_device_nonblocking_type();

}  // namespace drovik::comm::can
