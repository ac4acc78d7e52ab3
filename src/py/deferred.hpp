// Python objects owned by records that background threads also hold. Whoever
// drops the last C++ owner may not hold the GIL; then the Py_DECREF waits for the
// next thread that enters the module holding it.
#pragma once

#include <Python.h>

#include <utility>

#include "py/ref.hpp"

namespace drovik::py {

bool current_thread_holds_gil() noexcept;

// Py_DECREF now when the GIL is held, else queue it.
void release_anywhere(PyObject* obj) noexcept;

// Runs the queued releases; the caller holds the GIL. Cheap when nothing waits.
void run_deferred_releases() noexcept;

// An owned reference whose last drop may happen on any thread.
class SharedRef {
public:
    SharedRef() noexcept = default;
    // Takes a new reference; the caller holds the GIL.
    static SharedRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        SharedRef ref;
        ref.ptr_ = obj;
        return ref;
    }
    // Takes over an owned reference.
    static SharedRef adopt(Ref ref) noexcept {
        SharedRef shared;
        shared.ptr_ = ref.release();
        return shared;
    }
    SharedRef(SharedRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    SharedRef& operator=(SharedRef&& other) noexcept {
        SharedRef old(std::move(*this));
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    SharedRef(const SharedRef&) = delete;
    SharedRef& operator=(const SharedRef&) = delete;
    ~SharedRef() {
        if (ptr_ != nullptr) release_anywhere(ptr_);
    }

    PyObject* get() const noexcept { return ptr_; }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace drovik::py
