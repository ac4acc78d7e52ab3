#include "py/exit_gate.hpp"

#include <Python.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <utility>

#include "py/error.hpp"
#include "py/ref.hpp"

namespace drovik::py {

namespace {

// How long the exit waits for calls still inside the interpreter to return.
constexpr auto kGraceAtExit = std::chrono::seconds(1);

// Bit 0: closed. The rest counts the threads inside, two per thread, so that
// entering is one atomic add and a closed gate is seen in the same step.
constexpr std::uint64_t kClosed = 1;
constexpr std::uint64_t kOne = 2;

// This thread's reasons to be inside; the gate counts a thread once.
thread_local unsigned reasons = 0;
thread_local bool closed_here = false;
thread_local bool forked_here = false;

void (*work_at_close)() noexcept = nullptr;  // guarded by the GIL

void reset_in_child() noexcept;

struct Gate {
    Gate() { pthread_atfork(nullptr, nullptr, &reset_in_child); }
    std::atomic<std::uint64_t> state{0};
    std::mutex mu;                // lets the closer sleep until the last one leaves
    std::condition_variable left;
};

Gate& gate() noexcept {
    static Gate* g = new Gate;  // never destroyed: threads may outlive static teardown
    return *g;
}

// A child has only the thread that forked: the others' places inside are void.
void reset_in_child() noexcept {
    Gate& g = gate();
    std::uint64_t closed = g.state.load(std::memory_order_relaxed) & kClosed;
    g.state.store(closed | (reasons > 0 ? kOne : 0), std::memory_order_relaxed);
    forked_here = reasons > 0;
}

void flush_python_streams() {
    for (const char* name : {"stdout", "stderr"}) {
        PyObject* stream = PySys_GetObject(name);  // borrowed
        if (stream == nullptr || stream == Py_None) continue;
        Ref done = Ref::steal(PyObject_CallMethod(stream, "flush", nullptr));
        if (!done) PyErr_Clear();
    }
}

// A call that never returns (an endless loop, a long sleep, a wait nobody
// will end) cannot be waited for, and the interpreter cannot be torn down
// under it. The process ends here instead, as the program's end asked for:
// output flushed, status 1 after an uncaught exception, else 0.
[[noreturn]] void end_process_now() {
    flush_python_streams();
    bool failed = PySys_GetObject("last_value") != nullptr;
    PyErr_Clear();
    std::fflush(nullptr);
    ::_exit(failed ? 1 : 0);
}

bool wait_until_empty(Gate& g) {
    std::unique_lock lock(g.mu);
    return g.left.wait_for(lock, kGraceAtExit, [&] { return g.state.load() == kClosed; });
}

PyObject* close_gate(PyObject*, PyObject*) {
    Gate& g = gate();
    closed_here = true;
    bool nobody_inside = g.state.fetch_or(kClosed) == 0;
    if (work_at_close != nullptr) work_at_close();
    if (nobody_inside) Py_RETURN_NONE;
    bool empty;
    Py_BEGIN_ALLOW_THREADS
    empty = wait_until_empty(g);
    Py_END_ALLOW_THREADS
    if (!empty) end_process_now();
    Py_RETURN_NONE;
}

PyMethodDef close_gate_def = {"_drovik_close_gate", &close_gate, METH_NOARGS, nullptr};

}  // namespace

void install_exit_gate() {
    static bool installed = false;  // guarded by the GIL
    if (installed) return;
    Ref function = Ref::steal(PyCFunction_New(&close_gate_def, nullptr));
    Ref atexit = function ? Ref::steal(PyImport_ImportModule("atexit")) : Ref{};
    Ref done = atexit ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get())) : Ref{};
    if (!done) throw ErrorAlreadySet{};
    installed = true;
}

namespace {

// Counts this thread in; false, and nothing counted, once the gate is closed,
// unless `always` (the closing thread itself: nobody waits for it any more).
bool take_place(bool always) noexcept {
    Gate& g = gate();
    if ((g.state.fetch_add(kOne) & kClosed) == 0 || always) return true;
    g.state.fetch_sub(kOne);
    return false;
}

void give_place() noexcept {
    Gate& g = gate();
    if (g.state.fetch_sub(kOne) == (kClosed | kOne)) {
        std::lock_guard lock(g.mu);  // the closer is either before its check or asleep
        g.left.notify_all();
    }
}

}  // namespace

bool enter_gate() noexcept {
    if (reasons == 0 && !take_place(false)) return false;
    ++reasons;
    return true;
}

void leave_gate() noexcept {
    if (--reasons == 0) give_place();
}

unsigned step_out_of_gate() noexcept {
    unsigned had = std::exchange(reasons, 0);
    if (had > 0) give_place();
    return had;
}

bool step_back_into_gate(unsigned count) noexcept {
    if (!take_place(closed_here)) return false;
    reasons = count;
    return true;
}

void set_work_at_close(void (*work)() noexcept) noexcept { work_at_close = work; }

bool gate_closed() noexcept { return (gate().state.load() & kClosed) != 0; }

bool forked_inside_this_call() noexcept { return forked_here; }

void end_forked_child() {
    flush_python_streams();
    ::_exit(0);
}

}  // namespace drovik::py
