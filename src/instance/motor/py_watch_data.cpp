#include "instance/motor/py_watch_data.hpp"

#include "py/error.hpp"

namespace drovik::motor {

py::Ref watch_data_dict(const WatchData& data) {
    py::Ref dict = py::check(PyDict_New());
    const std::pair<const char*, float> fields[] = {
        {"position", data.position}, {"speed", data.speed}, {"current", data.current}};
    for (auto [key, value] : fields) {
        py::Ref number = py::check(PyFloat_FromDouble(static_cast<double>(value)));
        if (PyDict_SetItemString(dict.get(), key, number.get()) < 0) throw py::ErrorAlreadySet{};
    }
    return dict;
}

}  // namespace drovik::motor
