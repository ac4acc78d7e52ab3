// Entry points from the interpreter into the module. Every call passes through
// `guarded`: queued releases run first, and the face's C++ exceptions become a
// Python exception and a NULL (or -1) result.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <type_traits>

#include "py/deferred.hpp"
#include "py/error.hpp"
#include "py/gil.hpp"
#include "py/object.hpp"
#include "py/ref.hpp"
#include "py/signature.hpp"
#include "py/text.hpp"
#include "runtime/fork.hpp"

namespace drovik::py {

void set_internal_failure(const std::string& text) noexcept;
// In a child forked after the runtime started, every call fails with this.
[[noreturn]] void refuse_in_forked_child();
// A C++ exception nobody planned for: reported, then raised as an internal failure.
void set_unexpected_failure(const std::exception& error) noexcept;

template <class Body>
auto guarded(Body&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
    run_deferred_releases();
    WakeHolds holds;
    try {
        if (rt::in_child_forked_after_start()) refuse_in_forked_child();
        return body();
    } catch (const ErrorAlreadySet&) {
    } catch (const InternalFailure& failure) {
        set_internal_failure(failure.text);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        set_unexpected_failure(error);
    }
    return on_error;
}

namespace detail {

template <auto Fn>
struct Callable;

template <class T>
inline constexpr bool is_object = false;
template <class T>
inline constexpr bool is_object<Object<T>> = true;

// Ref f(T&): a method without arguments, object taken shared.
template <class T, Ref (*Fn)(T&)>
    requires(!is_object<T>)
struct Callable<Fn> {
    static constexpr int flags = METH_NOARGS;
    static PyObject* call(PyObject* self, PyObject*) noexcept {
        return guarded([&] {
            auto& obj = Object<T>::of(self);
            auto shared = obj.borrow.shared();
            return Fn(obj.value()).release();
        }, nullptr);
    }
};

// Ref f(T&, args, kwargs): a method with arguments, object taken shared.
template <class T, Ref (*Fn)(T&, PyObject*, PyObject*)>
    requires(!is_object<T>)
struct Callable<Fn> {
    static constexpr int flags = METH_VARARGS | METH_KEYWORDS;
    static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
        return guarded([&] {
            auto& obj = Object<T>::of(self);
            auto shared = obj.borrow.shared();
            return Fn(obj.value(), args, kwargs).release();
        }, nullptr);
    }
};

// Ref f(Object<T>&, args, kwargs): the method takes its object itself, after
// collecting its arguments (exclusive methods).
template <class T, Ref (*Fn)(Object<T>&, PyObject*, PyObject*)>
struct Callable<Fn> {
    static constexpr int flags = METH_VARARGS | METH_KEYWORDS;
    static PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
        return guarded([&] { return Fn(Object<T>::of(self), args, kwargs).release(); }, nullptr);
    }
};

// Ref f(Object<T>&): as above, without arguments.
template <class T, Ref (*Fn)(Object<T>&)>
struct Callable<Fn> {
    static constexpr int flags = METH_NOARGS;
    static PyObject* call(PyObject* self, PyObject*) noexcept {
        return guarded([&] { return Fn(Object<T>::of(self)).release(); }, nullptr);
    }
};

// Module functions.
template <Ref (*Fn)()>
struct Callable<Fn> {
    static constexpr int flags = METH_NOARGS;
    static PyObject* call(PyObject*, PyObject*) noexcept {
        return guarded([] { return Fn().release(); }, nullptr);
    }
};

template <Ref (*Fn)(PyObject*, PyObject*)>
struct Callable<Fn> {
    static constexpr int flags = METH_VARARGS | METH_KEYWORDS;
    static PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
        return guarded([&] { return Fn(args, kwargs).release(); }, nullptr);
    }
};

}  // namespace detail

// A PyMethodDef for a method or module function declared by S, documented by
// S and Body. Fn collects its arguments by S (py/args.hpp) unless it takes none.
template <auto Fn, Signature S, Literal Body>
PyMethodDef method() {
    using C = detail::Callable<Fn>;
    static_assert((C::flags == METH_NOARGS) == (S.arity() == 0), "the signature's parameters and Fn disagree");
    auto call = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&C::call));
    return PyMethodDef{detail::name_chars<S>.data(), call, C::flags, doc<S, Body>};
}

// A read-only property: Ref f(T&), object taken shared.
template <class T, Ref (*Fn)(T&)>
constexpr PyGetSetDef property(const char* name, const char* doc) {
    getter get = [](PyObject* self, void*) noexcept -> PyObject* {
        return guarded([&] {
            auto& obj = Object<T>::of(self);
            auto shared = obj.borrow.shared();
            return Fn(obj.value()).release();
        }, nullptr);
    };
    return PyGetSetDef{name, get, nullptr, doc, nullptr};
}

// tp_repr from std::string f(T&).
template <class T, std::string (*Fn)(T&)>
PyObject* repr_slot(PyObject* self) noexcept {
    return guarded([&] {
        auto& obj = Object<T>::of(self);
        auto shared = obj.borrow.shared();
        return to_python(Fn(obj.value())).release();
    }, nullptr);
}

// tp_call from Ref f(T&, args, kwargs).
template <class T, Ref (*Fn)(T&, PyObject*, PyObject*)>
PyObject* call_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return detail::Callable<Fn>::call(self, args, kwargs);
}

}  // namespace drovik::py
