// Moving between holding and not holding the interpreter lock: a Python call
// releasing it for a wait, and a background thread taking it for a call into
// Python. Background threads pass the exit gate (exit_gate.hpp) on every
// attachment and keep one thread state for their whole life.
#pragma once

#include <Python.h>

#include <optional>

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

// A background thread's attachment to the interpreter for one call into Python.
// The thread makes its thread state at its first attachment and keeps it for
// its life (freed when the thread ends); each attachment only takes and gives
// back the GIL. Every attachment passes the exit gate: refused once the
// interpreter is exiting, and the caller then ends without touching Python.
class Attached {
public:
    // Not noexcept: an interpreter that exits without the gate (never installed)
    // may end the thread inside by a forced unwind, which must pass through.
    static std::optional<Attached> attach();

    Attached(Attached&& other) noexcept : owns_(other.owns_) { other.owns_ = false; }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
    Attached& operator=(Attached&&) = delete;
    // In a child forked from inside the call, the process ends here, quietly.
    ~Attached();

private:
    explicit Attached(bool owns) noexcept : owns_(owns) {}

    bool owns_;  // false for a nested attachment: the outer one detaches
};

}  // namespace drovik::py
