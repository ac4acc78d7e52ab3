#include "core/timer/py_timer_wrapper.hpp"

#include <charconv>
#include <string>

#include "core/manager/task_registry.hpp"
#include "core/timer/normal_loop.hpp"
#include "core/timer/precision_thread.hpp"
#include "core/timer/py_realtime_env.hpp"
#include "core/timer/py_tick_call.hpp"
#include "core/timer/py_timer_handle.hpp"
#include "core/timer/realtime_thread.hpp"
#include "diag/stderr_line.hpp"
#include "py/exit_gate.hpp"
#include "py/runtime_bridge.hpp"
#include "py/type.hpp"

namespace drovik::timer {

namespace {

using py::Ref;

struct TimerWrapper {
    Ref func;
    double frequency;
    TimerPrecision precision;
    std::chrono::nanoseconds period;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(func.get());
        return 0;
    }
    void clear() { func = Ref{}; }
};

// Any failure to ask is no answer: the timer starts either way.
bool is_coroutine_function(PyObject* func) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref test = inspect ? Ref::steal(PyObject_GetAttrString(inspect.get(), "iscoroutinefunction")) : Ref{};
    Ref answer = test ? Ref::steal(PyObject_CallOneArg(test.get(), func)) : Ref{};
    PyErr_Clear();
    return answer && PyBool_Check(answer.get()) && answer.get() == Py_True;
}

rt::Task<void> store_join_handle(manager::SharedHandleSlot slot, rt::JoinHandle<void> handle) {
    auto guard = co_await slot->mutex.lock();
    slot->handle = std::move(handle);
}

void start_normal(const TimerWrapper& self, const TimerRecords& records, const SharedTickCall& call) {
    auto loop = normal_loop(records.running, records.tick_count, records.timing, self.period, call);
    auto handle = py::shared_runtime().spawn(std::move(loop));
    py::wait_for(store_join_handle(records.task_handle, std::move(handle)));
}

void start_precision(const TimerWrapper& self, const TimerRecords& records, manager::TaskId id,
                     const std::shared_ptr<PythonTickCall>& call) {
    auto thread = spawn_precision_thread(timer_thread_name(id, self.precision),
                                         PrecisionLoop{records.running, records.tick_count, records.timing, self.period,
                                                       spin_threshold(self.precision), fixed_spin(), call});
    if (!thread) py::internal_failure(thread.error().text);
    // The GIL is still ours: the thread releases this in its end(), which needs it.
    call->hold_switch_interval(self.period);
    std::lock_guard guard(records.thread_handle->mutex);
    records.thread_handle->thread = std::move(thread).value();
}

Ref start(TimerWrapper& self, PyObject* args, PyObject* kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) py::raise(PyExc_TypeError, "TimerWrapper() takes no keyword arguments");
    if (self.precision != TimerPrecision::Normal) settle_realtime_environment();
    const manager::TaskId id = manager::next_task_id();
    if (is_coroutine_function(self.func.get())) {
        diag::write_stderr_line(
            "Warning: Timer callback is an async function (coroutine function). It will not be awaited and will "
            "likely fail to execute properly. Please use a synchronous function.");
    }
    py::install_exit_gate();
    TimerRecords records;
    auto call = python_tick_call(self.func.get(), args);
    const auto start_time = Clock::now();
    if (self.precision == TimerPrecision::Normal) {
        start_normal(self, records, call);
    } else {
        start_precision(self, records, id, call);
    }
    manager::task_manager().register_task(id, records.running, records.task_handle, manager::TaskKind::Timer);
    return wrap_timer_handle(TimerHandle(start_time, std::move(records), id, self.frequency, self.precision),
                             std::move(call));
}

// The shortest text that reads back as the same double, never with an exponent.
std::string shortest_decimal(double value) {
    char text[400];
    auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    return error == std::errc{} ? std::string(text, end) : std::to_string(value);
}

std::string repr(TimerWrapper& self) {
    return "TimerWrapper(frequency=" + shortest_decimal(self.frequency) + "Hz, mode=" +
           std::string(python_name(self.precision)) + ")";
}

}  // namespace

PyTypeObject* timer_wrapper_type() {
    return py::class_type<TimerWrapper>({
        .name = "builtins.TimerWrapper",
        .doc = "包装后的定时器函数\n\n"
               "Each call starts a new timer with the call's positional arguments and returns its TimerHandle.\n",
        .repr = &py::repr_slot<TimerWrapper, &repr>,
        .call = &py::call_slot<TimerWrapper, &start>,
    });
}

Ref make_timer_wrapper(PyObject* func, double frequency, std::chrono::nanoseconds period, TimerPrecision precision) {
    return py::make_instance(timer_wrapper_type(), TimerWrapper{Ref::borrow(func), frequency, precision, period});
}

}  // namespace drovik::timer
