#include "py/error.hpp"

#include "diag/stderr_line.hpp"
#include "py/ref.hpp"
#include "py/text.hpp"

namespace drovik::py {

Ref check(PyObject* result) {
    if (result == nullptr) throw ErrorAlreadySet{};
    return Ref::steal(result);
}

void raise(PyObject* type, std::string_view message) {
    PyErr_SetObject(type, to_python(message).get());
    throw ErrorAlreadySet{};
}

void throw_if_error_set() {
    if (PyErr_Occurred() != nullptr) throw ErrorAlreadySet{};
}

void internal_failure(std::string text, std::source_location where) {
    diag::report_internal_failure(text, where);
    throw InternalFailure{std::move(text)};
}

PyObject* internal_failure_type() {
    // Lives as long as the process, like the type objects; never a module attribute.
    // Only touched with the GIL held, which serialises its creation.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("drovik.InternalFailure", "An internal invariant of drovik broke.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

Ref fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return Ref{};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

void restore_error(Ref error) noexcept {
    if (!error) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* value = error.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

std::string describe_exception(PyObject* exc) {
    std::string text;
    if (Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "__qualname__"))) {
        if (const char* utf8 = PyUnicode_AsUTF8(name.get())) text = utf8;
    }
    PyErr_Clear();
    text += ": ";
    Ref message = Ref::steal(PyObject_Str(exc));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (utf8 != nullptr) {
        text += utf8;
    } else {
        PyErr_Clear();
        text += "<exception str() failed>";
    }
    return text;
}

}  // namespace drovik::py
