// Heap types for the module's classes: qualified as "builtins.<Name>", not
// subclassable, no __dict__, no weak references, created once per process.
#pragma once

#include <Python.h>

#include <vector>

#include "py/entry.hpp"
#include "py/object.hpp"
#include "runtime/fork.hpp"

namespace drovik::py {

template <class T>
struct ClassDef {
    const char* name;  // "builtins.<Name>"
    const char* doc;   // constructible: py::doc<constructor signature, summary>; else the summary alone
    T (*construct)(PyObject* args, PyObject* kwargs) = nullptr;  // none: not constructible
    PyMethodDef* methods = nullptr;                              // {} terminated
    PyGetSetDef* properties = nullptr;                           // {} terminated
    reprfunc repr = nullptr;
    ternaryfunc call = nullptr;
};

namespace detail {

PyTypeObject* create_type(const char* name, Py_ssize_t size, unsigned long flags, std::vector<PyType_Slot> slots);

template <class T>
PyObject* new_instance(PyTypeObject* type, PyObject* args, PyObject* kwargs, T (*construct)(PyObject*, PyObject*)) {
    return guarded([&] { return make_instance(type, construct(args, kwargs)).release(); }, nullptr);
}

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if constexpr (CollectsCycles<T>) PyObject_GC_UnTrack(self);
    auto& obj = Object<T>::of(self);
    // In a child forked from a running process the value's background records
    // may be locked forever: leak it rather than hang.
    if (obj.constructed && !rt::in_child_forked_after_start()) obj.value().~T();
    obj.borrow.~BorrowState();
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T>
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto& obj = Object<T>::of(self);
    return obj.constructed ? obj.value().traverse(visit, arg) : 0;
}

template <class T>
int clear(PyObject* self) {
    auto& obj = Object<T>::of(self);
    if (obj.constructed) obj.value().clear();
    return 0;
}

}  // namespace detail

// The type object of T's class, made on first call and kept for the process.
// `def` must describe the same class on every call.
template <class T>
PyTypeObject* class_type(const ClassDef<T>& def) {
    static PyTypeObject* type = nullptr;  // GIL held: no race on creation
    if (type != nullptr) return type;

    static T (*construct)(PyObject*, PyObject*) = def.construct;
    std::vector<PyType_Slot> slots{{Py_tp_doc, const_cast<char*>(def.doc)},
                                   {Py_tp_dealloc, reinterpret_cast<void*>(&detail::dealloc<T>)}};
    unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (def.construct != nullptr) {
        newfunc make = [](PyTypeObject* t, PyObject* args, PyObject* kwargs) -> PyObject* {
            return detail::new_instance<T>(t, args, kwargs, construct);
        };
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(make)});
    } else {
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    }
    if constexpr (CollectsCycles<T>) {
        flags |= Py_TPFLAGS_HAVE_GC;
        slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(&detail::traverse<T>)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void*>(&detail::clear<T>)});
    }
    if (def.methods != nullptr) slots.push_back({Py_tp_methods, def.methods});
    if (def.properties != nullptr) slots.push_back({Py_tp_getset, def.properties});
    if (def.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
    if (def.call != nullptr) slots.push_back({Py_tp_call, reinterpret_cast<void*>(def.call)});
    type = detail::create_type(def.name, static_cast<Py_ssize_t>(sizeof(Object<T>)), flags, std::move(slots));
    return type;
}

}  // namespace drovik::py
