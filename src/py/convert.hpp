// Conversions of argument values. Each throws ErrorAlreadySet with the
// interpreter's TypeError or OverflowError set; `named_argument` then prefixes a
// TypeError with the parameter's name.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "py/error.hpp"

namespace drovik::py {

std::uint8_t to_u8(PyObject* obj);
std::uint32_t to_u32(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);
double to_double(PyObject* obj);
bool to_bool(PyObject* obj);
std::string to_string(PyObject* obj);

// CAN payloads: bytes and bytearray (subclasses too) are copied; any other
// sequence is iterated for integers 0-255; str is refused.
std::vector<std::uint8_t> to_payload(PyObject* obj);

// None and an omitted argument (NULL) both mean "no value".
inline bool omitted(PyObject* obj) noexcept { return obj == nullptr || obj == Py_None; }

template <class Convert>
auto optional_value(PyObject* obj, Convert convert) -> std::optional<decltype(convert(obj))> {
    if (omitted(obj)) return std::nullopt;
    return convert(obj);
}

// Re-raises a TypeError from the conversion as "argument '{name}': {message}",
// with the original as its __cause__; other errors pass unchanged.
[[noreturn]] void reraise_for_argument(const char* name);

template <class Convert>
auto named_argument(const char* name, PyObject* obj, Convert convert) -> decltype(convert(obj)) {
    try {
        return convert(obj);
    } catch (const ErrorAlreadySet&) {
        reraise_for_argument(name);
    }
}

}  // namespace drovik::py
