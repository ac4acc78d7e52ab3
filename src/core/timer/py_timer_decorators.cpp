#include "core/timer/py_timer_decorators.hpp"

#include <chrono>

#include "core/timer/frequency.hpp"
#include "core/timer/py_timer_wrapper.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/type.hpp"

namespace drovik::timer {

namespace {

using py::Ref;

struct Timer {
    double frequency;
    std::chrono::nanoseconds period;
};

struct PrecisionTimer {
    double frequency;
    std::chrono::nanoseconds period;
    bool realtime;
};

std::chrono::nanoseconds checked(rt::Result<std::chrono::nanoseconds> period) {
    if (!period) py::raise(PyExc_ValueError, period.error().text);
    return period.value();
}

constexpr py::Signature timer_class_sig = "Timer(frequency_hz)";
constexpr py::Signature timer_sig = "timer(frequency_hz)";
constexpr py::Signature precision_timer_class_sig = "PrecisionTimer(frequency_hz, realtime=False)";
constexpr py::Signature precision_timer_sig = "precision_timer(frequency_hz, realtime=False)";

template <py::Signature S>
Timer make_timer(PyObject* args, PyObject* kwargs) {
    auto [frequency_arg] = py::parse_args<S>(args, kwargs);
    double frequency = py::named_argument(frequency_arg, py::to_double);
    return Timer{frequency, checked(period_of(frequency))};
}

template <py::Signature S>
PrecisionTimer make_precision_timer(PyObject* args, PyObject* kwargs) {
    auto [frequency_arg, realtime_arg] = py::parse_args<S>(args, kwargs);
    double frequency = py::named_argument(frequency_arg, py::to_double);
    bool realtime = realtime_arg != nullptr && py::named_argument(realtime_arg, py::to_bool);
    return PrecisionTimer{frequency, checked(precision_period_of(frequency, realtime)), realtime};
}

PyObject* decorated(PyObject* args, PyObject* kwargs, const char* not_callable) {
    auto [func] = py::parse_args<"__call__(func)">(args, kwargs);
    if (PyCallable_Check(func) == 0) py::raise(PyExc_TypeError, not_callable);
    return func;
}

Ref decorate(Timer& self, PyObject* args, PyObject* kwargs) {
    PyObject* func = decorated(args, kwargs, "timer decorator requires a callable");
    return make_timer_wrapper(func, self.frequency, self.period, TimerPrecision::Normal);
}

Ref decorate_precisely(PrecisionTimer& self, PyObject* args, PyObject* kwargs) {
    PyObject* func = decorated(args, kwargs, "precision_timer decorator requires a callable");
    return make_timer_wrapper(func, self.frequency, self.period,
                              self.realtime ? TimerPrecision::Realtime : TimerPrecision::High);
}

Timer construct_timer(PyObject* args, PyObject* kwargs) { return make_timer<timer_class_sig>(args, kwargs); }

PrecisionTimer construct_precision_timer(PyObject* args, PyObject* kwargs) {
    return make_precision_timer<precision_timer_class_sig>(args, kwargs);
}

Ref timer_decorator(PyObject* args, PyObject* kwargs) {
    return py::make_instance(timer_type(), make_timer<timer_sig>(args, kwargs));
}

Ref precision_timer_decorator(PyObject* args, PyObject* kwargs) {
    return py::make_instance(precision_timer_type(), make_precision_timer<precision_timer_sig>(args, kwargs));
}

#define TIMER_DOC_BODY                                                                          \
    "普通定时器装饰器\n\n"                                                                      \
    "Runs the decorated function periodically on the shared runtime (about 1-10 ms precision).\n\n" \
    "Args:\n"                                                                                   \
    "    frequency_hz: calls per second, greater than 0\n\n"                                    \
    "Example:\n"                                                                                \
    "    @drovik.timer(10.0)\n"                                                                 \
    "    def tick(): ...\n"                                                                     \
    "    handle = tick()\n"

#define PRECISION_TIMER_DOC_BODY                                                                         \
    "高精度定时器装饰器\n\n"                                                                             \
    "Runs the decorated function periodically on a dedicated thread that sleeps, then spins.\n\n"      \
    "Args:\n"                                                                                            \
    "    frequency_hz: calls per second, greater than 0; above 10 kHz only with realtime=True\n"         \
    "    realtime: spin longer before each deadline for steadier timing (more CPU)\n\n"                  \
    "Real-time scheduling on a busy machine: DROVIK_RT_PRIORITY, DROVIK_RT_CPUS, DROVIK_RT_MLOCK\n"      \
    "(read when the first precision timer starts; see the README).\n\n"                                  \
    "Example:\n"                                                                                         \
    "    @drovik.precision_timer(500.0)\n"                                                               \
    "    def control(): ...\n"                                                                           \
    "    handle = control()\n"

}  // namespace

PyTypeObject* timer_type() {
    return py::class_type<Timer>({
        .name = "builtins.Timer",
        .doc = py::doc<timer_class_sig, TIMER_DOC_BODY>,
        .construct = &construct_timer,
        .call = &py::call_slot<Timer, &decorate>,
    });
}

PyTypeObject* precision_timer_type() {
    return py::class_type<PrecisionTimer>({
        .name = "builtins.PrecisionTimer",
        .doc = py::doc<precision_timer_class_sig, PRECISION_TIMER_DOC_BODY>,
        .construct = &construct_precision_timer,
        .call = &py::call_slot<PrecisionTimer, &decorate_precisely>,
    });
}

PyMethodDef timer_function = py::method<&timer_decorator, timer_sig, TIMER_DOC_BODY>();

PyMethodDef precision_timer_function =
    py::method<&precision_timer_decorator, precision_timer_sig, PRECISION_TIMER_DOC_BODY>();

}  // namespace drovik::timer
