#include "py/type.hpp"

#include "py/error.hpp"

namespace drovik::py {

namespace detail {

PyTypeObject* create_type(const char* name, Py_ssize_t size, unsigned long flags, std::vector<PyType_Slot> slots) {
    // Kept for the process: older interpreters keep pointing into the PyType_Spec.
    auto* kept_slots = new std::vector<PyType_Slot>(std::move(slots));
    kept_slots->push_back({0, nullptr});
    auto* spec = new PyType_Spec{name, static_cast<int>(size), 0, static_cast<unsigned int>(flags), kept_slots->data()};
    PyObject* type = PyType_FromSpec(spec);
    if (type == nullptr) {
        delete spec;
        delete kept_slots;
        throw ErrorAlreadySet{};
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace detail

}  // namespace drovik::py
