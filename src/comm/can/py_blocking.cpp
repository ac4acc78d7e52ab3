#include "comm/can/py_blocking.hpp"

#include <Python.h>

#include "comm/can/can_device_sync.hpp"
#include "py/runtime_bridge.hpp"

namespace drovik::comm::can {

bool no_signal_raised() { return PyErr_CheckSignals() == 0; }

void prepare_to_block() {
    if (auto handed = py::shared_runtime().leave_worker_duty(); !handed) py::internal_failure(handed.error().text);
}

void raise_can_error(const rt::Error& error) {
    if (interrupted(error)) throw py::ErrorAlreadySet{};
    py::raise_os_error(error);
}

}  // namespace drovik::comm::can
