// Argument collection with the interpreter's own rules and messages: missing,
// surplus and unknown arguments fail as for any built-in function. What is
// collected, and the name each conversion error gives, come from the callable's
// Signature.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "py/convert.hpp"
#include "py/error.hpp"
#include "py/signature.hpp"

namespace drovik::py {

// A collected argument: the object (NULL for an optional one not given), which
// it stands for wherever an object is expected, and its parameter's name.
struct Argument {
    const char* name;
    PyObject* object;

    operator PyObject*() const noexcept { return object; }
};

// One argument per parameter of S, in order.
template <Signature S>
std::array<Argument, S.arity()> parse_args(PyObject* args, PyObject* kwargs) {
    const char* format = detail::format_chars<S>.data();
    // The parser only reads the keywords; older interpreters declare them writable.
    auto* keywords = const_cast<char**>(detail::keywords<S>.data());
    std::array<Argument, S.arity()> values{};
    for (std::size_t i = 0; i < S.arity(); ++i) values[i].name = keywords[i];
    bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &values[I].object...) != 0;
    }(std::make_index_sequence<S.arity()>{});
    if (!ok) throw ErrorAlreadySet{};
    return values;
}

// The argument converted, a TypeError reported under its parameter's name.
template <class Convert>
auto named_argument(Argument arg, Convert convert) -> decltype(convert(arg.object)) {
    return named_argument(arg.name, arg.object, convert);
}

}  // namespace drovik::py
