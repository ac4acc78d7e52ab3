#include "comm/can/py_bus_state.hpp"

#include <optional>

#include "py/error.hpp"
#include "py/text.hpp"

namespace drovik::comm::can {

namespace {

py::Ref count(std::uint64_t value) { return py::check(PyLong_FromUnsignedLongLong(value)); }

py::Ref counter(std::optional<std::uint8_t> value) { return value ? count(*value) : py::none(); }

}  // namespace

py::Ref bus_state_dict(const socketcan::BusHealth::Report& report) {
    py::Ref dict = py::check(PyDict_New());
    auto put = [&](const char* key, py::Ref value) {
        if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) throw py::ErrorAlreadySet{};
    };
    put("state", py::to_python(socketcan::bus_state_name(report.state)));
    put("error_frames", count(report.error_frames));
    put("bus_off", count(report.bus_off));
    put("restarts", count(report.restarts));
    put("tx_errors", counter(report.tx_errors));
    put("rx_errors", counter(report.rx_errors));
    put("rx_dropped", count(report.rx_dropped));
    put("tx_failed", count(report.tx_failed));
    return dict;
}

}  // namespace drovik::comm::can
