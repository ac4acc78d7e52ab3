// How the Python faces fail. Inside a face, failures travel as C++ exceptions; the
// entry wrappers (entry.hpp) turn them back into "NULL with an exception set".
#pragma once

#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>

namespace drovik::py {

// A Python exception is already set on this thread.
struct ErrorAlreadySet {};

// An internal invariant broke. Reported on standard error where it is thrown;
// raised to Python as the internal-failure exception.
struct InternalFailure {
    std::string text;
};

[[noreturn]] void raise(PyObject* type, std::string_view message);

// Throws ErrorAlreadySet if an exception is pending (after calls that report
// failure only through PyErr_Occurred).
void throw_if_error_set();

[[noreturn]] void internal_failure(std::string text,
                                   std::source_location where = std::source_location::current());

// The exception class of internal failures: derives directly from
// BaseException, so `except Exception` lets it through. Created once.
PyObject* internal_failure_type();

// The pending exception, taken off the thread (NULL reference when none).
class Ref;
Ref fetch_error() noexcept;
void restore_error(Ref error) noexcept;

// "{qualified type name}: {str(exc)}", the text a caught user exception becomes.
std::string describe_exception(PyObject* exc);

}  // namespace drovik::py
