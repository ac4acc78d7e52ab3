#include "py/timeout_arg.hpp"

#include "py/convert.hpp"

namespace drovik::py {

std::optional<std::uint64_t> optional_millis(const char* name, PyObject* obj) {
    return optional_value(obj, [name](PyObject* value) { return named_argument(name, value, to_u64); });
}

}  // namespace drovik::py
