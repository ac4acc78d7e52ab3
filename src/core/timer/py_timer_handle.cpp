#include "core/timer/py_timer_handle.hpp"

#include "py/text.hpp"
#include "py/type.hpp"

namespace drovik::timer {

namespace {

using py::Ref;

// The handle with the timer's function and arguments, which it reports to the
// collector: a cycle through them is then collected, and that stops the timer.
struct PyTimerHandle {
    TimerHandle timer;
    std::shared_ptr<PythonTickCall> call;

    int traverse(visitproc visit, void* arg) { return call->traverse(visit, arg); }
    void clear() { timer.stop(); }
};

Ref stop(PyTimerHandle& self) {
    self.timer.stop();
    return py::none();
}

Ref is_running(PyTimerHandle& self) { return Ref::steal(PyBool_FromLong(self.timer.is_running())); }
Ref frequency(PyTimerHandle& self) { return py::check(PyFloat_FromDouble(self.timer.frequency())); }
Ref precision_mode(PyTimerHandle& self) { return py::to_python(python_name(self.timer.precision())); }
Ref tick_count(PyTimerHandle& self) { return py::check(PyLong_FromUnsignedLongLong(self.timer.tick_count())); }
Ref actual_frequency(PyTimerHandle& self) { return py::check(PyFloat_FromDouble(self.timer.actual_frequency())); }
Ref elapsed_secs(PyTimerHandle& self) { return py::check(PyFloat_FromDouble(self.timer.elapsed_secs())); }
Ref task_id(PyTimerHandle& self) { return py::check(PyLong_FromUnsignedLongLong(self.timer.task_id())); }
// Microseconds as a float, the unit of every duration in the dict.
Ref micros(std::chrono::nanoseconds value) {
    return py::check(PyFloat_FromDouble(static_cast<double>(value.count()) / 1000.0));
}

Ref timing(PyTimerHandle& self) {
    const TimingSummary summary = self.timer.timing();
    Ref dict = py::check(PyDict_New());
    const std::pair<const char*, Ref> items[] = {
        {"late_p50_us", micros(summary.late_p50)},
        {"late_p99_us", micros(summary.late_p99)},
        {"late_max_us", micros(summary.late_max)},
        {"missed", py::check(PyLong_FromUnsignedLongLong(summary.missed))},
        {"call_p99_us", micros(summary.call_p99)},
    };
    for (const auto& [key, value] : items) {
        if (PyDict_SetItemString(dict.get(), key, value.get()) != 0) throw py::ErrorAlreadySet{};
    }
    return dict;
}

std::string repr(PyTimerHandle& self) { return self.timer.describe(); }

PyMethodDef methods[] = {
    py::method<&stop, "stop($self)", "停止定时器\n">(),
    py::method<&is_running, "is_running($self)", "检查定时器是否正在运行\n">(),
    py::method<&frequency, "frequency($self)", "获取执行频率\n">(),
    py::method<&precision_mode, "precision_mode($self)",
               "获取精度模式\n\n"
               "Returns:\n    \"normal\", \"high\" or \"realtime\"\n">(),
    py::method<&tick_count, "tick_count($self)", "获取已执行的 tick 次数\n">(),
    py::method<&actual_frequency, "actual_frequency($self)",
               "获取实际平均频率（Hz）\n\n"
               "The average over the timer's whole life, up to now.\n">(),
    py::method<&elapsed_secs, "elapsed_secs($self)", "获取运行时间（秒）\n">(),
    py::method<&timing, "timing($self)",
               "获取定时精度统计\n\n"
               "Over the timer's whole life: how late each call began behind its deadline (late_p50_us,\n"
               "late_p99_us, late_max_us), the deadlines skipped (missed) and the call's duration\n"
               "(call_p99_us). Durations in microseconds, 0.0 before the first call.\n">(),
    {},
};

PyGetSetDef properties[] = {
    py::property<PyTimerHandle, &task_id>("task_id", "获取任务 ID"),
    {},
};

}  // namespace

PyTypeObject* timer_handle_type() {
    return py::class_type<PyTimerHandle>({
        .name = "builtins.TimerHandle",
        .doc = "定时器任务句柄\n\n"
               "Keep it while the timer should run: releasing it stops the timer.\n",
        .methods = methods,
        .properties = properties,
        .repr = &py::repr_slot<PyTimerHandle, &repr>,
    });
}

Ref wrap_timer_handle(TimerHandle handle, std::shared_ptr<PythonTickCall> call) {
    return py::make_instance(timer_handle_type(), PyTimerHandle{std::move(handle), std::move(call)});
}

}  // namespace drovik::timer
