#include "py/entry.hpp"

#include "diag/stderr_line.hpp"

namespace drovik::py {

void set_internal_failure(const std::string& text) noexcept {
    PyObject* type = internal_failure_type();
    PyErr_SetString(type != nullptr ? type : PyExc_SystemError, text.c_str());
}

void refuse_in_forked_child() {
    raise(PyExc_RuntimeError,
          "drovik cannot be used in a process forked after its background threads started; use it in the "
          "parent, or start child processes with the 'spawn' or 'forkserver' method");
}

void set_unexpected_failure(const std::exception& error) noexcept {
    diag::report_internal_failure(error.what());
    set_internal_failure(error.what());
}

}  // namespace drovik::py
