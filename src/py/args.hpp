// Argument collection with the interpreter's own rules and messages: missing,
// surplus and unknown arguments fail as for any built-in function. What is
// collected, and under which names, comes from the callable's Signature.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "py/error.hpp"
#include "py/signature.hpp"

namespace drovik::py {

// One object per parameter of S, in order; optional ones not given are NULL.
template <Signature S>
std::array<PyObject*, S.arity()> parse_args(PyObject* args, PyObject* kwargs) {
    const char* format = detail::format_chars<S>.data();
    // The parser only reads the keywords; older interpreters declare them writable.
    auto* keywords = const_cast<char**>(detail::keywords<S>.data());
    std::array<PyObject*, S.arity()> values{};
    bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &values[I]...) != 0;
    }(std::make_index_sequence<S.arity()>{});
    if (!ok) throw ErrorAlreadySet{};
    return values;
}

}  // namespace drovik::py
