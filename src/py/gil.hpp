// Moving between holding and not holding the interpreter lock: a Python call
// releasing it for a wait, and a background thread taking it for a call into
// Python. Background threads pass the exit gate (exit_gate.hpp) on every
// attachment and keep one thread state for their whole life.
#pragma once

#include <Python.h>

#include <optional>

namespace drovik::py {

// Releases the GIL for the scope of a wait; the caller must hold it and must not
// touch Python objects until the scope ends. While it waits the thread is out
// of the exit gate, so the exit never waits for it. Once the exit has begun it
// never takes the GIL back (3.11 and 3.12 would end it by a forced unwind that
// our frames cannot pass, 3.13 on would hang it there): it sleeps for good in
// the scope's end, holding nothing, until the process ends. Otherwise it
// stays counted in the gate until the call that waited returns to Python.
class GilReleased {
public:
    GilReleased();
    ~GilReleased();
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    unsigned had_;  // the thread's entries in the gate before the wait
    PyThreadState* state_;
};

namespace detail {
// Gate entries that waits of calls still under way on this thread came back with.
inline thread_local unsigned wake_holds = 0;
void release_wake_holds(unsigned down_to) noexcept;
}  // namespace detail

// Every call from Python: gives back at its return the gate entries its waits
// came back with.
class WakeHolds {
public:
    WakeHolds() noexcept : before_(detail::wake_holds) {}
    ~WakeHolds() {
        if (detail::wake_holds != before_) detail::release_wake_holds(before_);
    }
    WakeHolds(const WakeHolds&) = delete;
    WakeHolds& operator=(const WakeHolds&) = delete;

private:
    unsigned before_;
};

// A background thread's attachment to the interpreter for one call into Python.
// The thread makes its thread state at its first attachment and keeps it for
// its life (freed when the thread ends); each attachment only takes and gives
// back the GIL. Every attachment passes the exit gate: refused once the
// interpreter is exiting, and the caller then ends without touching Python.
class Attached {
public:
    // Whether this thread is a background thread inside its call into Python.
    static bool inside() noexcept;

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
