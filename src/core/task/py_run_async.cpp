#include "core/task/py_run_async.hpp"

#include "core/task/async_task.hpp"
#include "core/task/py_async_handle.hpp"
#include "diag/stderr_line.hpp"
#include "py/args.hpp"
#include "py/entry.hpp"
#include "py/exit_gate.hpp"
#include "py/runtime_bridge.hpp"
#include "py/type.hpp"

namespace drovik::task {

namespace {

using py::Ref;

// The decorated object, whatever it is: callability is only found out by the task.
struct RunAsync {
    Ref func;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(func.get());
        return 0;
    }
    void clear() { func = Ref(); }
};

constexpr py::Signature run_async_class_sig = "RunAsync(func)";

RunAsync construct(PyObject* args, PyObject* kwargs) {
    auto [func] = py::parse_args<run_async_class_sig>(args, kwargs);
    return RunAsync{Ref::borrow(func)};
}

// One call: a task on the runtime, registered, and its handle.
Ref start(RunAsync& self, PyObject* args, PyObject* kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        py::raise(PyExc_TypeError, "RunAsync() takes no keyword arguments");
    }
    if (!self.func) py::raise(PyExc_TypeError, "RunAsync object has no function");  // cleared by the collector
    py::install_exit_gate();
    manager::TaskId id = manager::next_task_id();
    auto outcome = std::make_shared<AsyncOutcome>();
    auto running = std::make_shared<manager::RunningState>(true);
    auto task_handle = std::make_shared<manager::HandleSlot>();  // stays empty: a job has no join handle
    auto call = std::make_shared<AsyncCall>(
        AsyncCall{outcome, running, py::SharedRef::borrow(self.func.get()), py::SharedRef::borrow(args)});
    // The gate closes only on this thread's interpreter lock, which is held here.
    if (py::gate_closed()) {
        diag::report_internal_failure("run_async job (id=" + std::to_string(id) +
                                      ") not run: the interpreter is exiting");
        refuse_at_exit(*call);
    } else if (auto spawned = py::shared_runtime().spawn_job([call] { run_call(*call); }); !spawned) {
        py::internal_failure(spawned.error().text);
    }
    manager::task_manager().register_task(id, running, task_handle, manager::TaskKind::AsyncTask);
    return make_async_handle(std::move(outcome), std::move(task_handle), id);
}

std::string repr(RunAsync&) { return "RunAsync(...)"; }

constexpr py::Signature run_async_sig = "run_async(func)";

Ref run_async(PyObject* args, PyObject* kwargs) {
    auto [func] = py::parse_args<run_async_sig>(args, kwargs);
    return py::make_instance(run_async_type(), RunAsync{Ref::borrow(func)});
}

}  // namespace

PyTypeObject* run_async_type() {
    return py::class_type<RunAsync>({
        .name = "builtins.RunAsync",
        .doc = py::doc<run_async_class_sig,
                       "异步任务装饰器\n\n"
                       "Each call of the decorated function starts it in the background and returns an AsyncHandle.\n">,
        .construct = &construct,
        .repr = &py::repr_slot<RunAsync, &repr>,
        .call = &py::call_slot<RunAsync, &start>,
    });
}

PyMethodDef run_async_function = py::method<&run_async, run_async_sig,
                                            "便捷函数：创建异步任务装饰器\n\n"
                                            "Args:\n"
                                            "    func: the function to run in the background\n\n"
                                            "Returns:\n"
                                            "    a RunAsync whose calls start background tasks\n">();

}  // namespace drovik::task
