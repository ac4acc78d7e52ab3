// The fair start of a select: a cheap per-thread random choice, so that no
// operation of a select is always looked at first.
#pragma once

#include <cstddef>

namespace drovik::rt::detail {

// Uniform in [0, count).
std::size_t random_index(std::size_t count);

}  // namespace drovik::rt::detail
