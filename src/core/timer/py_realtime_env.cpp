#include "core/timer/py_realtime_env.hpp"

#include <Python.h>

#include <cstdlib>

#include "core/timer/realtime_settings.hpp"
#include "core/timer/realtime_thread.hpp"
#include "py/error.hpp"

namespace drovik::timer {

void settle_realtime_environment() {
    if (realtime_settled()) return;
    // os.environ writes through to the C environment, so getenv sees what Python set.
    auto settings = parse_realtime_settings([](const char* name) { return std::getenv(name); });
    if (!settings) py::raise(PyExc_ValueError, settings.error().text);
    settle_realtime(settings.value());
}

}  // namespace drovik::timer
