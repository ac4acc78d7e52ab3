// Durations of a timer's whole life in constant memory: log-linear buckets (32
// per power of two, so a quantile is within about 1.6 % of the true value),
// written by one thread at a time and read by any thread while it writes.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace drovik::timer {

class DurationHistogram {
public:
    // Negative durations count as zero; the longest ones share the last bucket.
    // Only one thread records at a time, with each recording visible to the next.
    void record(std::chrono::nanoseconds value) noexcept;

    // The q-quantile (0 < q <= 1) of what was recorded, never above the largest
    // recorded value; zero before the first recording.
    std::chrono::nanoseconds quantile(double q) const noexcept;
    std::chrono::nanoseconds max() const noexcept;
    std::uint64_t count() const noexcept;

    static constexpr unsigned kSubBits = 5;
    static constexpr unsigned kTopExponent = 40;  // 2^40 ns, about 18 minutes
    static constexpr std::size_t kBuckets = (kTopExponent - kSubBits + 2) << kSubBits;

    static std::size_t bucket_of(std::uint64_t ns) noexcept;
    // The middle of a bucket's range, the value a quantile in it is reported as.
    static std::uint64_t middle_of(std::size_t bucket) noexcept;

private:
    std::array<std::atomic<std::uint64_t>, kBuckets> counts_{};
    std::atomic<std::uint64_t> max_{0};
};

}  // namespace drovik::timer
