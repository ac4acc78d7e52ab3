#include "py/timeout_arg.hpp"

#include "py/convert.hpp"

namespace drovik::py {

std::optional<std::uint64_t> optional_millis(const char* name, PyObject* obj) {
    return optional_value(obj, [name](PyObject* value) { return named_argument(name, value, to_u64); });
}

std::optional<std::uint64_t> timeout_ms_argument(PyObject* args, PyObject* kwargs, const char* format) {
    auto [timeout_arg] = parse_args(args, kwargs, format, {"timeout_ms"});
    return optional_millis("timeout_ms", timeout_arg);
}

}  // namespace drovik::py
