// PyInit_drovik: the module's only exported symbol.
#include <Python.h>

#include "py/ref.hpp"
#include "registration.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "drovik",
    "Drive motor drivers over Linux SocketCAN and run the control loops and background jobs around them.",
    0,        // no per-module state
    nullptr,  // functions are added one by one
    nullptr, nullptr, nullptr, nullptr,
};

// The module object, made once; it serves the main interpreter alone.
PyObject* module_object = nullptr;

bool add_surface(PyObject* module) {
    for (const auto& entry : drovik::registered_classes()) {
        PyTypeObject* type = entry.type();
        if (type == nullptr) return false;
        if (PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) return false;
    }
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return false;
    drovik::py::Ref module_name = drovik::py::Ref::steal(name);
    for (PyMethodDef& def : drovik::registered_functions()) {
        auto function = drovik::py::Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function || PyModule_AddObjectRef(module, def.ml_name, function.get()) < 0) return false;
    }
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_drovik() {
    // Its threads call into the interpreter that started them for as long as
    // they run; a sub-interpreter may be torn down under them at any time.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "drovik does not support sub-interpreters: import it in the main interpreter only");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);

    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
#ifdef Py_GIL_DISABLED
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#endif
    if (!add_surface(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    module_object = Py_NewRef(module);
    return module;
}
