// How the runtime notices that it lives in a forked child, where it must not
// be touched: the checks at every entry from Python ask here.
#pragma once

namespace drovik::rt {

// True in a process forked after the runtime started in its parent. Such a
// child has none of the runtime's threads, and the runtime's locks may have
// been held by them at the fork: nothing may touch the runtime there.
bool in_child_forked_after_start() noexcept;

}  // namespace drovik::rt
