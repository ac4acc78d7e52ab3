#include "py/gil.hpp"

#include "py/deferred.hpp"

namespace drovik::py {

bool interpreter_closing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsInitialized() || Py_IsFinalizing();
#else
    return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

std::optional<Attached> Attached::attach() {
    // The window between this check and PyGILState_Ensure is the interpreter's own:
    // a thread caught in it is parked or ended by the interpreter and never returns.
    if (interpreter_closing()) return std::nullopt;
    return Attached(PyGILState_Ensure());
}

bool Attached::holds_gil() noexcept { return current_thread_holds_gil(); }

}  // namespace drovik::py
