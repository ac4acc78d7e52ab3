#include "py/timeout_arg.hpp"

#include "py/convert.hpp"

namespace drovik::py {

std::optional<std::uint64_t> optional_millis(Argument arg) {
    return optional_value(arg.object, [arg](PyObject* value) { return named_argument(arg.name, value, to_u64); });
}

}  // namespace drovik::py
