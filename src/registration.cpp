#include "registration.hpp"

#include <array>

#include "comm/can/py_can_device.hpp"
#include "comm/can/py_can_device_nonblocking.hpp"
#include "core/manager/py_task_manager.hpp"
#include "core/manager/py_shutdown.hpp"
#include "core/task/py_async_handle.hpp"
#include "core/task/py_run_async.hpp"
#include "core/timer/py_timer_decorators.hpp"
#include "core/timer/py_timer_handle.hpp"
#include "core/timer/py_timer_wrapper.hpp"
#include "instance/motor/device/py_device.hpp"
#include "instance/motor/py_motor.hpp"

namespace drovik {

// Classes in the alphabetical order of their internal type names.
std::span<const ClassEntry> registered_classes() {
    static const std::array classes{
        ClassEntry{"AsyncHandle", &task::async_handle_type},
        ClassEntry{"CanDevice", &comm::can::can_device_type},
        ClassEntry{"CanDeviceNonBlocking", &comm::can::can_device_nonblocking_type},
        ClassEntry{"Device", &motor::device_type},
        ClassEntry{"Motor", &motor::motor_type},
        ClassEntry{"PrecisionTimer", &timer::precision_timer_type},
        ClassEntry{"TaskManager", &manager::task_manager_type},
        ClassEntry{"RunAsync", &task::run_async_type},
        ClassEntry{"Timer", &timer::timer_type},
        ClassEntry{"TimerHandle", &timer::timer_handle_type},
        ClassEntry{"TimerWrapper", &timer::timer_wrapper_type},
    };
    return classes;
}

std::span<PyMethodDef> registered_functions() {
    static std::array functions{
        timer::timer_function,
        timer::precision_timer_function,
        task::run_async_function,
        manager::get_task_manager_function,
        manager::shutdown_all_function,
        manager::block_all_function,
        manager::block_until_function,
    };
    return functions;
}

}  // namespace drovik
