#include "core/timer/run_delay.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>

namespace drovik::timer {

RunDelay::RunDelay() noexcept : fd_(::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC)) {}

RunDelay::~RunDelay() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<std::chrono::nanoseconds> waited_in_schedstat(std::string_view text) noexcept {
    // "<time on the CPU> <time waiting for it> <slices>", each in nanoseconds.
    const char* const end = text.data() + text.size();
    std::uint64_t ran = 0, waited = 0;
    const auto first = std::from_chars(text.data(), end, ran);
    if (first.ec != std::errc{} || first.ptr == end || *first.ptr != ' ') return std::nullopt;
    const auto second = std::from_chars(first.ptr + 1, end, waited);
    if (second.ec != std::errc{}) return std::nullopt;
    return std::chrono::nanoseconds(static_cast<std::chrono::nanoseconds::rep>(waited));
}

std::optional<std::chrono::nanoseconds> RunDelay::total() const noexcept {
    if (fd_ < 0) return std::nullopt;
    char text[96];
    const ssize_t got = ::pread(fd_, text, sizeof text, 0);
    if (got <= 0) return std::nullopt;
    return waited_in_schedstat(std::string_view(text, static_cast<std::size_t>(got)));
}

}  // namespace drovik::timer
