#include "py/gil.hpp"

#include <unistd.h>

#include "py/exit_gate.hpp"

namespace drovik::py {

namespace {

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Passes the gate, unless it is closed or the interpreter already finalises
// (a process that never installed the gate's exit hook).
bool enter_interpreter() noexcept {
    if (!enter_gate()) return false;
    if (!interpreter_finalizing()) return true;
    leave_gate();
    return false;
}

// The thread state a background thread keeps between its calls.
class ThreadAttachment {
public:
    ThreadAttachment() = default;
    ThreadAttachment(const ThreadAttachment&) = delete;
    ThreadAttachment& operator=(const ThreadAttachment&) = delete;
    // The thread ends: its state goes back through the gate, or, once the
    // interpreter is exiting, stays untouched (the process is ending anyway).
    ~ThreadAttachment() {
        if (state_ == nullptr || !enter_interpreter()) return;
        PyEval_RestoreThread(state_);
        PyGILState_Release(gilstate_);  // the outermost release: clears and frees the state
        leave_gate();
    }

    // Takes the GIL, making the thread state on the first call.
    void take() {
        if (state_ != nullptr) {
            PyEval_RestoreThread(state_);
            return;
        }
        // Made through the GIL-state API so that the interpreter knows it as this
        // thread's state: code in a call that asks for the GIL itself finds it.
        gilstate_ = PyGILState_Ensure();
        state_ = PyThreadState_Get();
    }
    void give() noexcept { PyEval_SaveThread(); }

private:
    PyThreadState* state_ = nullptr;
    PyGILState_STATE gilstate_ = PyGILState_UNLOCKED;
};

thread_local ThreadAttachment this_thread;
// Apart from the state: a plain flag, so that asking costs no initialisation check.
thread_local bool attached_here = false;

[[noreturn]] void sleep_for_good() noexcept {
    for (;;) ::pause();
}

}  // namespace

GilReleased::GilReleased() {
    install_exit_gate();  // a wait that ends during the exit must find the gate closed
    had_ = step_out_of_gate();
    state_ = PyEval_SaveThread();
}

GilReleased::~GilReleased() {
    if (!step_back_into_gate(had_ + 1)) sleep_for_good();
    ++detail::wake_holds;
    PyEval_RestoreThread(state_);
}

void detail::release_wake_holds(unsigned down_to) noexcept {
    for (; wake_holds > down_to; --wake_holds) leave_gate();
}

std::optional<Attached> Attached::attach() {
    if (attached_here) return Attached(false);
    if (!enter_interpreter()) return std::nullopt;
    this_thread.take();
    attached_here = true;
    return Attached(true);
}

bool Attached::inside() noexcept { return attached_here; }

Attached::~Attached() {
    if (!owns_) return;
    if (forked_inside_this_call()) end_forked_child();
    attached_here = false;
    this_thread.give();
    leave_gate();
}

}  // namespace drovik::py
