#include "core/timer/switch_interval.hpp"

#include <Python.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <utility>

#include "core/timer/switch_interval_rule.hpp"
#include "py/ref.hpp"

namespace drovik::timer {

namespace {

using Micros = long long;


struct Lowered {
    std::multiset<Micros> periods;  // of the running precision timers
    Micros found = 0;               // the interval before the first of them started
    std::optional<Micros> set;      // what we set last; empty while the program's own value rules
    bool program_owns = false;      // the program changed it while timers ran
};

Lowered& lowered() {
    static Lowered* state = new Lowered;  // guarded by the GIL; never destroyed
    return *state;
}

std::optional<Micros> current_interval() {
    PyObject* get = PySys_GetObject("getswitchinterval");  // borrowed
    py::Ref value = get ? py::Ref::steal(PyObject_CallNoArgs(get)) : py::Ref{};
    double seconds = value ? PyFloat_AsDouble(value.get()) : -1.0;
    if (PyErr_Occurred() || seconds < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::llround(seconds * 1e6);
}

bool set_interval(Micros micros) {
    PyObject* set = PySys_GetObject("setswitchinterval");  // borrowed
    py::Ref done = set ? py::Ref::steal(PyObject_CallFunction(set, "d", static_cast<double>(micros) / 1e6)) : py::Ref{};
    if (!done) PyErr_Clear();
    return static_cast<bool>(done);
}

// Never above the value found, never below what the shortest period needs.
void apply(Lowered& state) {
    auto now = current_interval();
    if (!now) return;
    if (state.set && *now != *state.set) {
        state.program_owns = true;
        state.set.reset();
    }
    if (state.program_owns) return;
    Micros shortest = *state.periods.begin();
    Micros wanted = std::min<Micros>(state.found, switch_interval_for(std::chrono::microseconds(shortest)).count());
    if (wanted != *now && !set_interval(wanted)) return;
    state.set = wanted;
}

// Puts back the interval found, if it is still the one we set.
void restore(Lowered& state) {
    if (state.set && current_interval() == state.set) set_interval(state.found);
    state.set.reset();
}

// A forked child has none of the timer threads: it gets its interval back.
PyObject* after_fork_in_child(PyObject*, PyObject*) {
    Lowered& state = lowered();
    if (!state.periods.empty()) {
        state.periods.clear();
        restore(state);
    }
    Py_RETURN_NONE;
}

PyMethodDef after_fork_def = {"_drovik_switch_interval_after_fork", &after_fork_in_child, METH_NOARGS, nullptr};

// Once per process; a failure only leaves a child with the lowered interval.
void restore_in_forked_children() {
    static bool registered = false;  // guarded by the GIL
    if (std::exchange(registered, true)) return;
    py::Ref function = py::Ref::steal(PyCFunction_New(&after_fork_def, nullptr));
    py::Ref os = function ? py::Ref::steal(PyImport_ImportModule("os")) : py::Ref{};
    py::Ref hook = os ? py::Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : py::Ref{};
    py::Ref kwargs = hook ? py::Ref::steal(Py_BuildValue("{s:O}", "after_in_child", function.get())) : py::Ref{};
    py::Ref args = kwargs ? py::Ref::steal(PyTuple_New(0)) : py::Ref{};
    py::Ref done = args ? py::Ref::steal(PyObject_Call(hook.get(), args.get(), kwargs.get())) : py::Ref{};
    if (!done) PyErr_Clear();
}

Micros micros(std::chrono::nanoseconds period) {
    return std::chrono::duration_cast<std::chrono::microseconds>(period).count();
}

}  // namespace

void hold_switch_interval(std::chrono::nanoseconds period) {
    Lowered& state = lowered();
    restore_in_forked_children();
    if (state.periods.empty()) {
        auto now = current_interval();
        if (!now) return;
        state.found = *now;
        state.set.reset();
        state.program_owns = false;
    }
    state.periods.insert(micros(period));
    apply(state);
}

void drop_switch_interval(std::chrono::nanoseconds period) {
    Lowered& state = lowered();
    auto it = state.periods.find(micros(period));
    if (it == state.periods.end()) return;
    state.periods.erase(it);
    if (!state.periods.empty()) {
        apply(state);
        return;
    }
    restore(state);
}

}  // namespace drovik::timer
