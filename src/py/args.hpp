// Argument collection with the interpreter's own rules and messages: missing,
// surplus and unknown arguments fail as for any built-in function.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "py/error.hpp"

namespace drovik::py {

// `format` is a PyArg format of "O" units, e.g. "OO|O:send"; optional arguments
// that were not given come back as NULL.
template <std::size_t N>
std::array<PyObject*, N> parse_args(PyObject* args, PyObject* kwargs, const char* format,
                                    const char* const (&names)[N]) {
    std::array<char*, N + 1> keywords{};
    for (std::size_t i = 0; i < N; ++i) keywords[i] = const_cast<char*>(names[i]);
    std::array<PyObject*, N> values{};
    bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords.data(), &values[I]...) != 0;
    }(std::make_index_sequence<N>{});
    if (!ok) throw ErrorAlreadySet{};
    return values;
}

}  // namespace drovik::py
