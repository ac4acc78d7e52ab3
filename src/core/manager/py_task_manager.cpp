#include "core/manager/py_task_manager.hpp"

#include <string>
#include <utility>

#include "core/manager/task_registry.hpp"
#include "py/args.hpp"
#include "py/gil.hpp"
#include "py/timeout_arg.hpp"
#include "py/type.hpp"
#include "runtime/time/deadline.hpp"

namespace drovik::manager {

namespace {

using py::Ref;

struct PyTaskManager {};

Ref count(std::size_t value) { return py::check(PyLong_FromSize_t(value)); }

Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

// Waits for the registry with the interpreter lock released, stopping
// everything first if asked. Ctrl+C ends the wait: the signal interrupts the
// sleep, the interpreter's handlers run here, and the KeyboardInterrupt one
// raises ends the call (the registry is untouched by it).
bool wait_for_registry(std::optional<std::uint64_t> timeout_ms, bool stop_first) {
    rt::Deadline deadline = rt::Deadline::after_ms(timeout_ms);
    for (;;) {
        WaitEnd end;
        {
            py::GilReleased released;
            if (std::exchange(stop_first, false)) task_manager().stop_all();
            end = task_manager().wait_all_or_signal(deadline);
        }
        if (end != WaitEnd::Interrupted) return end == WaitEnd::AllStopped;
        if (PyErr_CheckSignals() < 0) throw py::ErrorAlreadySet{};
    }
}

Ref running_count(PyTaskManager&) { return count(task_manager().running_count()); }
Ref total_count(PyTaskManager&) { return count(task_manager().total_count()); }
Ref timer_count(PyTaskManager&) { return count(task_manager().timer_count()); }
Ref async_task_count(PyTaskManager&) { return count(task_manager().async_task_count()); }

Ref stop_all(PyTaskManager&) {
    task_manager().stop_all();
    return py::none();
}

constexpr py::Signature wait_all_sig = "wait_all($self, timeout_ms=None)";

Ref wait_all(PyTaskManager&, PyObject* args, PyObject* kwargs) {
    return boolean(wait_for_registry(py::timeout_ms_argument<wait_all_sig>(args, kwargs), false));
}

constexpr py::Signature shutdown_sig = "shutdown($self, timeout_ms=None)";

Ref shutdown(PyTaskManager&, PyObject* args, PyObject* kwargs) {
    return boolean(wait_for_registry(py::timeout_ms_argument<shutdown_sig>(args, kwargs), true));
}

Ref cleanup(PyTaskManager&) {
    task_manager().cleanup();
    return py::none();
}

Ref status(PyTaskManager&) {
    auto summary = task_manager().status_summary();
    Ref dict = py::check(PyDict_New());
    const std::pair<const char*, std::size_t> items[] = {{"running_timers", summary.running_timers},
                                                         {"running_tasks", summary.running_tasks},
                                                         {"stopped", summary.stopped},
                                                         {"total", summary.total}};
    for (const auto& [key, value] : items) {
        if (PyDict_SetItemString(dict.get(), key, count(value).get()) != 0) throw py::ErrorAlreadySet{};
    }
    return dict;
}

std::string repr(PyTaskManager&) {
    auto s = task_manager().status_summary();
    return "TaskManager(timers=" + std::to_string(s.running_timers) + ", tasks=" + std::to_string(s.running_tasks) +
           ", stopped=" + std::to_string(s.stopped) + ", total=" + std::to_string(s.total) + ")";
}

constexpr py::Signature task_manager_sig = "TaskManager()";

PyTaskManager construct(PyObject* args, PyObject* kwargs) {
    py::parse_args<task_manager_sig>(args, kwargs);
    return {};
}

Ref get_task_manager() { return py::make_instance(task_manager_type(), PyTaskManager{}); }

constexpr py::Signature shutdown_all_sig = "shutdown_all(timeout_ms=None)";

Ref shutdown_all(PyObject* args, PyObject* kwargs) {
    return boolean(wait_for_registry(py::timeout_ms_argument<shutdown_all_sig>(args, kwargs), true));
}

#define WAIT_ARGS_DOC                                                  \
    "Args:\n"                                                          \
    "    timeout_ms: time-out in milliseconds; None waits without limit\n\n" \
    "Returns:\n"                                                       \
    "    bool: True if all tasks completed, False on time-out\n\n"

PyMethodDef methods[] = {
    py::method<&stop_all, "stop_all($self)",
               "停止所有任务\n\n"
               "Example:\n    drovik.get_task_manager().stop_all()\n">(),
    py::method<&wait_all, wait_all_sig,
               "等待所有任务完成\n\n" WAIT_ARGS_DOC
               "Example:\n    drovik.get_task_manager().wait_all(timeout_ms=1000)\n">(),
    py::method<&shutdown, shutdown_sig,
               "优雅关闭所有任务\n\n"
               "First stops all tasks, then waits for them to complete.\n\n" WAIT_ARGS_DOC
               "Example:\n    drovik.get_task_manager().shutdown(timeout_ms=5000)\n">(),
    py::method<&cleanup, "cleanup($self)",
               "清理已完成的任务\n\n"
               "Example:\n    drovik.get_task_manager().cleanup()\n">(),
    py::method<&status, "status($self)",
               "获取任务状态\n\n"
               "Returns:\n    dict containing running_timers, running_tasks, stopped, total\n\n"
               "Example:\n    drovik.get_task_manager().status()\n">(),
    {},
};

PyGetSetDef properties[] = {
    py::property<PyTaskManager, &running_count>("running_count",
                                                "获取运行中的任务数量\n\nReturns:\n    int: 运行中的任务数量\n"),
    py::property<PyTaskManager, &total_count>("total_count", "获取所有任务数量\n\nReturns:\n    int: 所有任务数量\n"),
    py::property<PyTaskManager, &timer_count>("timer_count",
                                              "获取运行中的定时器数量\n\nReturns:\n    int: 运行中的定时器数量\n"),
    py::property<PyTaskManager, &async_task_count>(
        "async_task_count", "获取运行中的异步任务数量\n\nReturns:\n    int: 运行中的异步任务数量\n"),
    {},
};

}  // namespace

PyTypeObject* task_manager_type() {
    return py::class_type<PyTaskManager>({
        .name = "builtins.TaskManager",
        .doc = py::doc<task_manager_sig,
                       "Python 可访问的任务管理器\n\n"
                       "Every instance views the same process-wide registry of timers and asynchronous tasks.\n">,
        .construct = &construct,
        .methods = methods,
        .properties = properties,
        .repr = &py::repr_slot<PyTaskManager, &repr>,
    });
}

PyMethodDef get_task_manager_function = py::method<
    &get_task_manager, "get_task_manager()",
    "获取全局任务管理器\n\n"
    "Returns:\n    TaskManager: the global task manager instance\n\n"
    "Example:\n    manager = drovik.get_task_manager()\n">();

PyMethodDef shutdown_all_function = py::method<
    &shutdown_all, shutdown_all_sig,
    "优雅关闭所有任务的便捷函数\n\n" WAIT_ARGS_DOC
    "Example:\n    drovik.shutdown_all(timeout_ms=5000)\n">();

}  // namespace drovik::manager
