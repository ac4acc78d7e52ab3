#include "instance/motor/py_watch_data.hpp"

#include <array>

#include "py/error.hpp"

namespace drovik::motor {

namespace {

// Made once and kept: a feedback loop reads this dict back to back, and a key
// made from C text each time would cost an allocation and a hash per field.
const std::array<PyObject*, 3>& field_keys() {
    static std::array<PyObject*, 3> keys{};  // GIL held: no race on creation
    if (keys.back() == nullptr) {
        const char* names[] = {"position", "speed", "current"};
        std::array<py::Ref, 3> made;
        for (std::size_t i = 0; i < made.size(); ++i) made[i] = py::check(PyUnicode_InternFromString(names[i]));
        for (std::size_t i = 0; i < made.size(); ++i) keys[i] = made[i].release();
    }
    return keys;
}

}  // namespace

py::Ref watch_data_dict(const WatchData& data) {
    const auto& keys = field_keys();
    py::Ref dict = py::check(PyDict_New());
    const float values[] = {data.position, data.speed, data.current};
    for (std::size_t i = 0; i < keys.size(); ++i) {
        py::Ref number = py::check(PyFloat_FromDouble(static_cast<double>(values[i])));
        if (PyDict_SetItem(dict.get(), keys[i], number.get()) < 0) throw py::ErrorAlreadySet{};
    }
    return dict;
}

}  // namespace drovik::motor
