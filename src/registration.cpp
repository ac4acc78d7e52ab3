#include "registration.hpp"

#include <array>

#include "comm/can/py_can_device.hpp"
#include "comm/can/py_can_device_nonblocking.hpp"
#include "instance/motor/device/py_device.hpp"
#include "instance/motor/py_motor.hpp"

namespace drovik {

// Classes in the alphabetical order of their internal type names.
std::span<const ClassEntry> registered_classes() {
    static const std::array classes{
        ClassEntry{"CanDevice", &comm::can::can_device_type},
        ClassEntry{"CanDeviceNonBlocking", &comm::can::can_device_nonblocking_type},
        ClassEntry{"Device", &motor::device_type},
        ClassEntry{"Motor", &motor::motor_type},
    };
    return classes;
}

std::span<PyMethodDef> registered_functions() {
    static std::array<PyMethodDef, 0> functions{};
    return functions;
}

}  // namespace drovik
