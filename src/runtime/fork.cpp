#include "runtime/fork.hpp"

#include <pthread.h>

#include <atomic>

namespace drovik::rt {

namespace {

// Set in a child forked after the runtime started: the child has none of its
// threads, and its locks may have been taken mid-operation by them.
std::atomic<bool> forked_after_start{false};

void mark_forked_child() noexcept { forked_after_start.store(true, std::memory_order_relaxed); }

}  // namespace

bool in_child_forked_after_start() noexcept { return forked_after_start.load(std::memory_order_relaxed); }

void mark_children_forked_from_now_on() noexcept { pthread_atfork(nullptr, nullptr, &mark_forked_child); }

}  // namespace drovik::rt
