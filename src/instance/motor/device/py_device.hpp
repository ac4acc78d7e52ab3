// The Python class Device: one driver of a Motor, shared with its group. Setting
// a target only stores it for the next broadcast; reading feedback copies the
// last decoded frame under the driver's watch lock, which the feedback task holds
// only for one store.
#pragma once

#include <Python.h>

#include <memory>

#include "instance/motor/device/device.hpp"
#include "py/ref.hpp"

namespace drovik::motor {

// The Python class Device: not constructible, handed out by Motor.add_device.
PyTypeObject* device_type();
py::Ref wrap_device(std::shared_ptr<Device> device);

}  // namespace drovik::motor
