#include "runtime/sync/random_index.hpp"

#include <random>

namespace drovik::rt::detail {

std::size_t random_index(std::size_t count) {
    thread_local std::minstd_rand engine{std::random_device{}()};
    return std::uniform_int_distribution<std::size_t>(0, count - 1)(engine);
}

}  // namespace drovik::rt::detail
