#include "core/manager/signal_wait.hpp"

#include <csignal>

#include "runtime/signal/signal_listener.hpp"
#include "runtime/sync/select.hpp"

namespace drovik::manager {

rt::Task<rt::Result<std::string_view>> wait_for_shutdown_signal() {
    auto interrupt = rt::SignalListener::create(SIGINT);
    if (!interrupt) co_return rt::Error{rt::ErrorKind::Other, "Failed to register SIGINT handler: " + interrupt.error().text};
    auto terminate = rt::SignalListener::create(SIGTERM);
    if (!terminate) co_return rt::Error{rt::ErrorKind::Other, "Failed to register SIGTERM handler: " + terminate.error().text};
    auto first = co_await rt::select(interrupt->next(), terminate->next());
    co_return first.index() == 0 ? std::string_view("SIGINT") : std::string_view("SIGTERM");
}

}  // namespace drovik::manager
