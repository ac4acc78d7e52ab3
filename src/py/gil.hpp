// Moving between holding and not holding the interpreter lock: a Python call
// releasing it for a wait, and a background thread taking it for a call into
// Python. Background threads pass the exit gate (exit_gate.hpp) on every
// attachment and keep one thread state for their whole life.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

namespace drovik::py {

// Releases the GIL for the scope of a wait; the caller must hold it and must not
// touch Python objects until the scope ends.
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    // May end the thread by a forced unwind when the interpreter is exiting.
    ~GilReleased() noexcept(false) { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

// True once the interpreter has begun to finalise (or was never started): no
// background thread may call into Python from then on.
bool interpreter_closing() noexcept;

// A background thread's attachment to the interpreter for one call into Python.
// Refused once the interpreter is finalising; the caller then ends quietly.
class Attached {
public:
    // Not noexcept: an interpreter that starts exiting meanwhile may end the thread
    // inside PyGILState_Ensure by a forced unwind, which must pass through.
    static std::optional<Attached> attach();

    Attached(Attached&& other) noexcept : state_(other.state_), owns_(other.owns_) { other.owns_ = false; }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
    Attached& operator=(Attached&&) = delete;
    // A thread the exiting interpreter ends inside a call unwinds through here
    // without its thread state: then there is nothing to release.
    ~Attached() {
        if (owns_ && holds_gil()) PyGILState_Release(state_);
    }

private:
    static bool holds_gil() noexcept;
    explicit Attached(PyGILState_STATE state) noexcept : state_(state), owns_(true) {}

    PyGILState_STATE state_;
    bool owns_;
};

}  // namespace drovik::py
