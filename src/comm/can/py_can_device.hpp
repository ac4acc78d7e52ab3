// The Python class CanDevice: the socket device behind blocking calls. send and
// receive wait for the socket on the calling thread with the interpreter lock
// kept, and hold the device exclusively for the call.
#pragma once

#include <Python.h>

namespace drovik::comm::can {

// The Python class CanDevice: blocking send and receive on one interface.
PyTypeObject* can_device_type();

}  // namespace drovik::comm::can
