#include "runtime/sched/context.hpp"

namespace drovik::rt::detail {

Context*& current_context() noexcept {
    thread_local Context* current = nullptr;
    return current;
}

}  // namespace drovik::rt::detail
