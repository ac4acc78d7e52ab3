#pragma once

#include <Python.h>

namespace drovik::comm::can {

// The Python class CanDevice: blocking send and receive on one interface.
PyTypeObject* can_device_type();

}  // namespace drovik::comm::can
