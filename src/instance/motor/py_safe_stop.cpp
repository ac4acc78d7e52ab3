#include "instance/motor/py_safe_stop.hpp"

#include "core/manager/task_registry.hpp"
#include "instance/motor/safe_stop.hpp"
#include "py/exit_gate.hpp"
#include "py/gil.hpp"

namespace drovik::motor {

Caller calling_thread() noexcept { return py::Attached::inside() ? Caller::Worker : Caller::Program; }

void arm_safe_stop() {
    static bool armed = false;  // guarded by the GIL
    if (armed) return;
    py::install_exit_gate();
    py::set_work_at_close(&stop_every_group);
    manager::task_manager().set_after_stop(&stop_every_group);
    armed = true;
}

}  // namespace drovik::motor
