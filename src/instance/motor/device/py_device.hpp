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
