// A test-only extension that exposes the C++ layer over the C API directly, so
// its conversions, borrow rules, types and thread hand-offs are tested before
// and apart from the classes built with it. Never part of the drovik module.
#include <Python.h>

#include <string>
#include <thread>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/deferred.hpp"
#include "py/entry.hpp"
#include "py/gil.hpp"
#include "py/type.hpp"

namespace py = drovik::py;
using py::Ref;

namespace {

template <auto Convert>
Ref convert_value(PyObject* args, PyObject* kwargs) {
    auto [value] = py::parse_args<"convert(value)">(args, kwargs);
    return py::check(PyLong_FromUnsignedLongLong(py::named_argument(value, Convert)));
}

constexpr py::Signature optional_u64_sig = "optional_u64(value=None)";

Ref optional_u64(PyObject* args, PyObject* kwargs) {
    auto [value] = py::parse_args<optional_u64_sig>(args, kwargs);
    auto converted =
        py::optional_value(value, [value](PyObject* v) { return py::named_argument(value.name, v, py::to_u64); });
    return converted ? py::check(PyLong_FromUnsignedLongLong(*converted)) : py::none();
}

constexpr py::Signature payload_sig = "payload(data)";

Ref payload(PyObject* args, PyObject* kwargs) {
    auto [data] = py::parse_args<payload_sig>(args, kwargs);
    auto bytes = py::named_argument(data, py::to_payload);
    return py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<Py_ssize_t>(bytes.size())));
}

Ref internal_failure_type() { return Ref::borrow(py::internal_failure_type()); }

constexpr py::Signature drop_in_thread_sig = "drop_in_thread(obj)";

// Drops a reference on a thread that does not hold the GIL.
Ref drop_in_thread(PyObject* args, PyObject* kwargs) {
    auto [obj] = py::parse_args<drop_in_thread_sig>(args, kwargs);
    auto held = py::SharedRef::borrow(obj);
    py::GilReleased released;
    std::thread([held = std::move(held)] {}).join();
    return py::none();
}

constexpr py::Signature call_from_thread_sig = "call_from_thread(fn)";

// Calls `fn` from a fresh background thread attached for that one call.
Ref call_from_thread(PyObject* args, PyObject* kwargs) {
    auto [fn] = py::parse_args<call_from_thread_sig>(args, kwargs);
    bool called = false;
    {
        py::GilReleased released;
        std::thread([&] {
            auto attached = py::Attached::attach();
            if (!attached) return;
            Ref result = Ref::steal(PyObject_CallNoArgs(fn));
            if (!result) PyErr_Clear();
            called = true;
        }).join();
    }
    return Ref::borrow(called ? Py_True : Py_False);
}

// A constructible class with methods of each borrow kind.
struct Probe {
    std::string label;
    Py_ssize_t uses = 0;
};

constexpr py::Signature probe_sig = "Probe(label=None)";

Probe make_probe(PyObject* args, PyObject* kwargs) {
    auto [label] = py::parse_args<probe_sig>(args, kwargs);
    return Probe{label ? py::named_argument(label, py::to_string) : std::string("probe")};
}

constexpr py::Signature hold_exclusive_sig = "hold_exclusive($self, callback)";

Ref hold_exclusive(py::Object<Probe>& self, PyObject* args, PyObject* kwargs) {
    auto [callback] = py::parse_args<hold_exclusive_sig>(args, kwargs);
    auto exclusive = self.borrow.exclusive();
    ++self.value().uses;
    return py::check(PyObject_CallNoArgs(callback));
}

constexpr py::Signature hold_shared_sig = "hold_shared($self, callback)";

Ref hold_shared(Probe& self, PyObject* args, PyObject* kwargs) {
    auto [callback] = py::parse_args<hold_shared_sig>(args, kwargs);
    ++self.uses;
    return py::check(PyObject_CallNoArgs(callback));
}

Ref uses(Probe& self) { return py::check(PyLong_FromSsize_t(self.uses)); }

Ref fail_internally(Probe&) { py::internal_failure("probe invariant broke"); }

std::string probe_repr(Probe& self) { return "<Probe " + self.label + ">"; }

PyMethodDef probe_methods[] = {
    py::method<&hold_exclusive, hold_exclusive_sig, "Exclusive.">(),
    py::method<&hold_shared, hold_shared_sig, "Shared.">(),
    py::method<&fail_internally, "fail_internally($self)", "Breaks.">(),
    {},
};

PyGetSetDef probe_properties[] = {
    py::property<Probe, &uses>("uses", "Calls so far."),
    {},
};

PyTypeObject* probe_type() {
    return py::class_type<Probe>({
        .name = "builtins.Probe",
        .doc = py::doc<probe_sig, "A probe.">,
        .construct = &make_probe,
        .methods = probe_methods,
        .properties = probe_properties,
        .repr = &py::repr_slot<Probe, &probe_repr>,
    });
}

// Holds one Python object and takes part in cycle collection; not constructible.
struct Holder {
    Ref held;
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(held.get());
        return 0;
    }
    void clear() { held = Ref{}; }
};

PyTypeObject* holder_type() { return py::class_type<Holder>({.name = "builtins.Holder", .doc = "Holds one object."}); }

constexpr py::Signature make_holder_sig = "make_holder(obj)";

Ref make_holder(PyObject* args, PyObject* kwargs) {
    auto [obj] = py::parse_args<make_holder_sig>(args, kwargs);
    return py::make_instance(holder_type(), Holder{Ref::borrow(obj)});
}

PyMethodDef functions[] = {
    // One parser for the three, which the messages name "convert()".
    py::method<&convert_value<py::to_u8>, "u8(value)", "">(),
    py::method<&convert_value<py::to_u32>, "u32(value)", "">(),
    py::method<&convert_value<py::to_u64>, "u64(value)", "">(),
    py::method<&optional_u64, optional_u64_sig, "">(),
    py::method<&payload, payload_sig, "">(),
    py::method<&internal_failure_type, "internal_failure_type()", "">(),
    py::method<&drop_in_thread, drop_in_thread_sig, "">(),
    py::method<&call_from_thread, call_from_thread_sig, "">(),
    py::method<&make_holder, make_holder_sig, "">(),
    {},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_drovik_probe", nullptr, 0, functions, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__drovik_probe() {
    PyObject* module = PyModule_Create(&probe_def);
    if (module == nullptr) return nullptr;
    struct {
        const char* name;
        PyTypeObject* type;
    } classes[] = {{"Probe", probe_type()}, {"Holder", holder_type()}};
    for (auto [name, type] : classes) {
        if (type == nullptr || PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}
