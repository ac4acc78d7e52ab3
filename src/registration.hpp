// The Python surface of the module: its classes and functions, in the order they
// appear in the module dictionary.
#pragma once

#include <Python.h>

#include <span>

namespace drovik {

struct ClassEntry {
    const char* name;              // attribute name in the module
    PyTypeObject* (*type)();       // made on first call, then reused
};

std::span<const ClassEntry> registered_classes();
std::span<PyMethodDef> registered_functions();

}  // namespace drovik
