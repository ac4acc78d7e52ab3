#include "core/manager/py_shutdown.hpp"

#include <optional>
#include <string>
#include <variant>

#include "core/manager/signal_wait.hpp"
#include "core/manager/task_registry.hpp"
#include "diag/stderr_line.hpp"
#include "py/args.hpp"
#include "py/entry.hpp"
#include "py/gil.hpp"
#include "py/runtime_bridge.hpp"
#include "py/text.hpp"
#include "py/timeout_arg.hpp"
#include "runtime/sync/select.hpp"
#include "runtime/time/deadline.hpp"
#include "runtime/time/sleep.hpp"

namespace drovik::manager {

namespace {

using py::Ref;
using Millis = std::optional<std::uint64_t>;

void report_outcome(bool stopped) {
    diag::write_stderr_line(stopped ? "[drovik] All tasks stopped successfully"
                                    : "[drovik] Shutdown timed out, some tasks may still be running");
}

// The interpreter's own handler for the SIGINT just received would raise
// KeyboardInterrupt at the caller's next line: run it here and drop what it raised.
void swallow_pending_signals() {
    if (PyErr_CheckSignals() < 0) PyErr_Clear();
}

// Runs the operation on the calling thread with the interpreter lock released;
// a failure of the runtime or of the operation is an internal failure.
template <class T>
T block_on_released(rt::Task<rt::Result<T>> operation) {
    rt::Runtime& runtime = py::shared_runtime();
    std::optional<rt::Result<T>> outcome;
    {
        py::GilReleased released;
        outcome.emplace(rt::flatten(runtime.block_on(std::move(operation))));
    }
    if (!*outcome) py::internal_failure(outcome->error().text);
    return std::move(*outcome).value();
}

// The registry's wait; a second Ctrl+C meanwhile does not end it.
bool wait_until_stopped(Millis timeout) { return task_manager().wait_all(rt::Deadline::after_ms(timeout)); }

rt::Task<rt::Result<std::string_view>> announce_and_stop() {
    auto signal = co_await wait_for_shutdown_signal();
    if (!signal) co_return signal;
    diag::write_stderr_line("\n[drovik] Received " + std::string(signal.value()) + ", initiating graceful shutdown...");
    task_manager().stop_all();
    co_return signal;
}

constexpr py::Signature block_all_sig = "block_all(timeout_ms=None)";

Ref block_all(PyObject* args, PyObject* kwargs) {
    Millis timeout = py::timeout_ms_argument<block_all_sig>(args, kwargs);
    std::string_view signal = block_on_released(announce_and_stop());
    bool stopped;
    {
        py::GilReleased released;
        stopped = wait_until_stopped(timeout);
    }
    report_outcome(stopped);
    swallow_pending_signals();
    return py::to_python(signal);
}

struct Ending {
    std::string reason;
    bool stopped;
};

rt::Task<rt::Result<Ending>> wait_then_shut_down(Millis wait, Millis shutdown_timeout) {
    // Without a limit the sleep never ends, and only a signal can.
    auto first = co_await rt::select(wait_for_shutdown_signal(), rt::sleep_until(rt::Deadline::after_ms(wait)));
    std::string reason = "timeout";
    if (first.index() == 0) {
        auto& signal = std::get<0>(first);
        if (!signal) co_return signal.error();
        reason = "signal:" + std::string(signal.value());
    }
    diag::write_stderr_line("\n[drovik] Stopping (reason: " + reason + "), initiating graceful shutdown...");
    task_manager().stop_all();
    bool stopped = wait_until_stopped(shutdown_timeout);
    report_outcome(stopped);
    co_return Ending{std::move(reason), stopped};
}

constexpr py::Signature block_until_sig = "block_until(wait_ms=None, shutdown_timeout_ms=None)";

Ref block_until(PyObject* args, PyObject* kwargs) {
    auto [wait_arg, shutdown_arg] = py::parse_args<block_until_sig>(args, kwargs);
    Millis wait = py::optional_millis(wait_arg);
    Millis shutdown_timeout = py::optional_millis(shutdown_arg);
    Ending ending = block_on_released(wait_then_shut_down(wait, shutdown_timeout));
    if (ending.reason.starts_with("signal:")) swallow_pending_signals();
    Ref reason = py::to_python(ending.reason);
    return py::check(PyTuple_Pack(2, reason.get(), ending.stopped ? Py_True : Py_False));
}

}  // namespace

PyMethodDef block_all_function = py::method<
    &block_all, block_all_sig,
    "阻塞等待系统退出信号\n\n"
    "Blocks the current thread until a system exit signal (SIGINT/Ctrl+C or SIGTERM) arrives, then\n"
    "performs the graceful shutdown automatically, stopping all timers and tasks.\n\n"
    "Args:\n"
    "    timeout_ms: time to wait for the tasks to complete after the signal, None for no limit\n\n"
    "Returns:\n"
    "    the name of the received signal, \"SIGINT\" or \"SIGTERM\"\n\n"
    "Example:\n"
    "    signal = drovik.block_all(timeout_ms=5000)\n">();

PyMethodDef block_until_function = py::method<
    &block_until, block_until_sig,
    "阻塞等待指定时间或直到收到退出信号\n\n"
    "Blocks the current thread until a system exit signal arrives or the given waiting time has passed;\n"
    "either way the graceful shutdown is performed.\n\n"
    "Args:\n"
    "    wait_ms: the longest time to wait, None for no limit\n"
    "    shutdown_timeout_ms: time to wait for the tasks to complete during the shutdown\n\n"
    "Returns:\n"
    "    (reason, clean): reason is \"signal:SIGINT\", \"signal:SIGTERM\" or \"timeout\"; clean tells whether\n"
    "    every task stopped in time\n\n"
    "Example:\n"
    "    reason, clean = drovik.block_until(wait_ms=10000)\n">();

}  // namespace drovik::manager
