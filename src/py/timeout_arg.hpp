// The time-out arguments of the waits: None or omitted for no limit, else an
// unsigned 64-bit count of milliseconds. Parsed here only, so every wait takes
// the same values and raises the same errors for the others.
#pragma once

#include <cstdint>
#include <optional>

#include "py/args.hpp"

namespace drovik::py {

// Any one time-out argument (block_until has two).
std::optional<std::uint64_t> optional_millis(Argument arg);

// The whole argument list of a wait whose one parameter is "timeout_ms=None".
template <Signature S>
    requires(S.arity() == 1 && S.keyword(0) == "timeout_ms" && S.optional(0))
std::optional<std::uint64_t> timeout_ms_argument(PyObject* args, PyObject* kwargs) {
    auto [timeout_arg] = parse_args<S>(args, kwargs);
    return optional_millis(timeout_arg);
}

}  // namespace drovik::py
