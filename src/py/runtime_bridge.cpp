#include "py/runtime_bridge.hpp"

namespace drovik::py {

rt::Runtime& shared_runtime() {
    auto runtime = rt::runtime();
    if (!runtime) internal_failure(runtime.error().text);
    return *runtime.value();
}

void raise_os_error(const rt::Error& error) { raise(PyExc_OSError, error.text); }

}  // namespace drovik::py
