// Moving between holding and not holding the interpreter lock.
#pragma once

#include <Python.h>

#include <optional>

namespace drovik::py {

// Releases the GIL for the scope of a wait; the caller must hold it and must not
// touch Python objects until the scope ends.
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
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
    static std::optional<Attached> attach() noexcept;

    Attached(Attached&& other) noexcept : state_(other.state_), owns_(other.owns_) { other.owns_ = false; }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
    Attached& operator=(Attached&&) = delete;
    ~Attached() {
        if (owns_) PyGILState_Release(state_);
    }

private:
    explicit Attached(PyGILState_STATE state) noexcept : state_(state), owns_(true) {}

    PyGILState_STATE state_;
    bool owns_;
};

}  // namespace drovik::py
