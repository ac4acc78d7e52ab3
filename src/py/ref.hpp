// Owned references: exactly one Py_DECREF per reference taken. A plain PyObject*
// in this code base is always a borrowed reference.
#pragma once

#include <Python.h>

#include <utility>

namespace drovik::py {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference.
    static Ref steal(PyObject* obj) noexcept {
        Ref ref;
        ref.ptr_ = obj;
        return ref;
    }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return steal(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

// Wraps the new reference an API call returned; throws ErrorAlreadySet when it
// returned NULL with an exception set.
Ref check(PyObject* result);

inline Ref none() noexcept { return Ref::borrow(Py_None); }

}  // namespace drovik::py
