#include "py/entry.hpp"

#include "diag/stderr_line.hpp"

namespace drovik::py {

void set_internal_failure(const std::string& text) noexcept {
    PyObject* type = internal_failure_type();
    PyErr_SetString(type != nullptr ? type : PyExc_SystemError, text.c_str());
}

void set_unexpected_failure(const std::exception& error) noexcept {
    diag::report_internal_failure(error.what());
    set_internal_failure(error.what());
}

}  // namespace drovik::py
