#include "core/manager/py_shutdown.hpp"

#include <chrono>
#include <limits>
#include <optional>
#include <string>
#include <variant>

#include "core/manager/signal_wait.hpp"
#include "core/manager/task_registry.hpp"
#include "diag/stderr_line.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/gil.hpp"
#include "py/runtime_bridge.hpp"
#include "py/text.hpp"
#include "runtime/sync/select.hpp"
#include "runtime/time/sleep.hpp"

namespace drovik::manager {

namespace {

using py::Ref;
using Millis = std::optional<std::uint64_t>;

Millis optional_millis(const char* name, PyObject* obj) {
    return py::optional_value(obj, [name](PyObject* v) { return py::named_argument(name, v, py::to_u64); });
}

void report_outcome(bool stopped) {
    diag::write_stderr_line(stopped ? "[drovik] All tasks stopped successfully"
                                    : "[drovik] Shutdown timed out, some tasks may still be running");
}

// The interpreter's own handler for the SIGINT just received would raise
// KeyboardInterrupt at the caller's next line: run it here and drop what it raised.
void swallow_pending_signals() {
    if (PyErr_CheckSignals() < 0) PyErr_Clear();
}

rt::Task<rt::Result<std::string_view>> announce_and_stop() {
    auto signal = co_await wait_for_shutdown_signal();
    if (!signal) co_return signal;
    diag::write_stderr_line("\n[drovik] Received " + std::string(signal.value()) + ", initiating graceful shutdown...");
    task_manager().stop_all();
    co_return signal;
}

Ref block_all(PyObject* args, PyObject* kwargs) {
    auto [timeout_arg] = py::parse_args(args, kwargs, "|O:block_all", {"timeout_ms"});
    Millis timeout = optional_millis("timeout_ms", timeout_arg);
    rt::Runtime& runtime = py::shared_runtime();
    rt::Result<rt::Result<std::string_view>> waited = rt::Error{};
    {
        py::GilReleased released;
        waited = runtime.block_on(announce_and_stop());
    }
    if (!waited) py::internal_failure(waited.error().text);
    if (!waited.value()) py::internal_failure(waited.value().error().text);
    bool stopped;
    {
        py::GilReleased released;
        stopped = task_manager().wait_all(timeout);
    }
    report_outcome(stopped);
    swallow_pending_signals();
    return py::to_python(waited.value().value());
}

// Saturates: a limit beyond what the clock can add is no limit in practice.
std::chrono::milliseconds as_duration(std::uint64_t ms) {
    constexpr std::uint64_t kMax = std::uint64_t{1} << 40;  // about 35 years
    return std::chrono::milliseconds(static_cast<std::int64_t>(ms < kMax ? ms : kMax));
}

struct Ending {
    std::string reason;
    bool stopped;
};

rt::Task<rt::Result<Ending>> wait_then_shut_down(Millis wait, Millis shutdown_timeout) {
    std::string reason;
    if (wait) {
        auto first = co_await rt::select(wait_for_shutdown_signal(), rt::sleep_for(as_duration(*wait)));
        if (first.index() == 0) {
            auto& signal = std::get<0>(first);
            if (!signal) co_return signal.error();
            reason = "signal:" + std::string(signal.value());
        } else {
            reason = "timeout";
        }
    } else {
        auto signal = co_await wait_for_shutdown_signal();
        if (!signal) co_return signal.error();
        reason = "signal:" + std::string(signal.value());
    }
    diag::write_stderr_line("\n[drovik] Stopping (reason: " + reason + "), initiating graceful shutdown...");
    task_manager().stop_all();
    bool stopped = task_manager().wait_all(shutdown_timeout);
    report_outcome(stopped);
    co_return Ending{std::move(reason), stopped};
}

Ref block_until(PyObject* args, PyObject* kwargs) {
    auto [wait_arg, shutdown_arg] =
        py::parse_args(args, kwargs, "|OO:block_until", {"wait_ms", "shutdown_timeout_ms"});
    Millis wait = optional_millis("wait_ms", wait_arg);
    Millis shutdown_timeout = optional_millis("shutdown_timeout_ms", shutdown_arg);
    rt::Runtime& runtime = py::shared_runtime();
    rt::Result<rt::Result<Ending>> ended = rt::Error{};
    {
        py::GilReleased released;
        ended = runtime.block_on(wait_then_shut_down(wait, shutdown_timeout));
    }
    if (!ended) py::internal_failure(ended.error().text);
    if (!ended.value()) py::internal_failure(ended.value().error().text);
    const Ending& ending = ended.value().value();
    if (ending.reason.starts_with("signal:")) swallow_pending_signals();
    Ref reason = py::to_python(ending.reason);
    return py::check(PyTuple_Pack(2, reason.get(), ending.stopped ? Py_True : Py_False));
}

}  // namespace

PyMethodDef block_all_function = py::method<&block_all>(
    "block_all",
    "block_all(timeout_ms=None)\n--\n\n"
    "阻塞等待系统退出信号\n\n"
    "Blocks the current thread until a system exit signal (SIGINT/Ctrl+C or SIGTERM) arrives, then\n"
    "performs the graceful shutdown automatically, stopping all timers and tasks.\n\n"
    "Args:\n"
    "    timeout_ms: time to wait for the tasks to complete after the signal, None for no limit\n\n"
    "Returns:\n"
    "    the name of the received signal, \"SIGINT\" or \"SIGTERM\"\n\n"
    "Example:\n"
    "    signal = drovik.block_all(timeout_ms=5000)\n");

PyMethodDef block_until_function = py::method<&block_until>(
    "block_until",
    "block_until(wait_ms=None, shutdown_timeout_ms=None)\n--\n\n"
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
    "    reason, clean = drovik.block_until(wait_ms=10000)\n");

}  // namespace drovik::manager
