#include "runtime/sync/random_index.hpp"

#include <chrono>
#include <functional>
#include <random>
#include <thread>

namespace drovik::rt::detail {

namespace {

// A thread's identity and the clock keep threads apart, all a fair start needs;
// std::random_device would raise the C library the wheels ask for (arc4random).
std::minstd_rand::result_type thread_seed() {
    auto id = std::hash<std::thread::id>{}(std::this_thread::get_id());
    auto now = static_cast<std::size_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return static_cast<std::minstd_rand::result_type>(id ^ now ^ (id >> 32));
}

}  // namespace

std::size_t random_index(std::size_t count) {
    thread_local std::minstd_rand engine{thread_seed()};
    return std::uniform_int_distribution<std::size_t>(0, count - 1)(engine);
}

}  // namespace drovik::rt::detail
