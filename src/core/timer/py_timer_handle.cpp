#include "core/timer/py_timer_handle.hpp"

#include "py/text.hpp"
#include "py/type.hpp"

namespace drovik::timer {

namespace {

using py::Ref;

Ref stop(TimerHandle& self) {
    self.stop();
    return py::none();
}

Ref is_running(TimerHandle& self) { return Ref::steal(PyBool_FromLong(self.is_running())); }
Ref frequency(TimerHandle& self) { return py::check(PyFloat_FromDouble(self.frequency())); }
Ref precision_mode(TimerHandle& self) { return py::to_python(python_name(self.precision())); }
Ref tick_count(TimerHandle& self) { return py::check(PyLong_FromUnsignedLongLong(self.tick_count())); }
Ref actual_frequency(TimerHandle& self) { return py::check(PyFloat_FromDouble(self.actual_frequency())); }
Ref elapsed_secs(TimerHandle& self) { return py::check(PyFloat_FromDouble(self.elapsed_secs())); }
Ref task_id(TimerHandle& self) { return py::check(PyLong_FromUnsignedLongLong(self.task_id())); }
std::string repr(TimerHandle& self) { return self.describe(); }

PyMethodDef methods[] = {
    py::method<&stop>("stop", "stop($self)\n--\n\n停止定时器\n"),
    py::method<&is_running>("is_running", "is_running($self)\n--\n\n检查定时器是否正在运行\n"),
    py::method<&frequency>("frequency", "frequency($self)\n--\n\n获取执行频率\n"),
    py::method<&precision_mode>("precision_mode",
                                "precision_mode($self)\n--\n\n获取精度模式\n\n"
                                "Returns:\n    \"normal\", \"high\" or \"realtime\"\n"),
    py::method<&tick_count>("tick_count", "tick_count($self)\n--\n\n获取已执行的 tick 次数\n"),
    py::method<&actual_frequency>("actual_frequency",
                                  "actual_frequency($self)\n--\n\n获取实际平均频率（Hz）\n\n"
                                  "The average over the timer's whole life, up to now.\n"),
    py::method<&elapsed_secs>("elapsed_secs", "elapsed_secs($self)\n--\n\n获取运行时间（秒）\n"),
    {},
};

PyGetSetDef properties[] = {
    py::property<TimerHandle, &task_id>("task_id", "获取任务 ID"),
    {},
};

}  // namespace

PyTypeObject* timer_handle_type() {
    return py::class_type<TimerHandle>({
        .name = "builtins.TimerHandle",
        .doc = "定时器任务句柄\n\n"
               "Keep it while the timer should run: releasing it stops the timer.\n",
        .methods = methods,
        .properties = properties,
        .repr = &py::repr_slot<TimerHandle, &repr>,
    });
}

Ref wrap_timer_handle(TimerHandle handle) { return py::make_instance(timer_handle_type(), std::move(handle)); }

}  // namespace drovik::timer
