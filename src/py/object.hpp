// The layout of every instance of the module's classes: the Python header, the
// borrow state, and the C++ value the class wraps, constructed in place.
#pragma once

#include <Python.h>

#include <concepts>
#include <new>
#include <type_traits>
#include <utility>

#include "py/borrow.hpp"
#include "py/ref.hpp"

namespace drovik::py {

template <class T>
struct Object {
    PyObject_HEAD
    BorrowState borrow;
    bool constructed;  // false only between allocation and placement of `storage`
    alignas(T) unsigned char storage[sizeof(T)];

    T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }

    static Object& of(PyObject* self) noexcept { return *reinterpret_cast<Object*>(self); }
};

// Whether a wrapped value holds Python objects the cyclic collector must see:
// it then offers traverse(visit, arg) and clear().
template <class T>
concept CollectsCycles = requires(T& value, visitproc visit, void* arg) {
    { value.traverse(visit, arg) } -> std::same_as<int>;
    value.clear();
};

// A new instance of `type` holding `value`; for classes whose instances come from
// other operations rather than from a constructor.
template <class T>
Ref make_instance(PyTypeObject* type, T&& value) {
    using Stored = std::remove_cvref_t<T>;
    Ref obj = check(type->tp_alloc(type, 0));
    auto& instance = Object<Stored>::of(obj.get());
    new (&instance.borrow) BorrowState();
    new (instance.storage) Stored(std::forward<T>(value));
    instance.constructed = true;
    return obj;
}

}  // namespace drovik::py
