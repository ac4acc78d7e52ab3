#include "core/timer/histogram.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace drovik::timer {

namespace {
constexpr std::uint64_t kExact = 1ULL << DurationHistogram::kSubBits;  // below this, one bucket per value
constexpr std::uint64_t kLargest = (1ULL << (DurationHistogram::kTopExponent + 1)) - 1;
}  // namespace

std::size_t DurationHistogram::bucket_of(std::uint64_t ns) noexcept {
    ns = std::min(ns, kLargest);
    if (ns < kExact) return static_cast<std::size_t>(ns);
    const unsigned exponent = static_cast<unsigned>(std::bit_width(ns)) - 1;
    const std::uint64_t sub = (ns >> (exponent - kSubBits)) & (kExact - 1);
    return ((exponent - kSubBits + 1) << kSubBits) + static_cast<std::size_t>(sub);
}

std::uint64_t DurationHistogram::middle_of(std::size_t bucket) noexcept {
    if (bucket < kExact) return bucket;
    const unsigned exponent = static_cast<unsigned>(bucket >> kSubBits) + kSubBits - 1;
    const std::uint64_t width = 1ULL << (exponent - kSubBits);
    const std::uint64_t low = (1ULL << exponent) + (bucket & (kExact - 1)) * width;
    return low + width / 2;
}

void DurationHistogram::record(std::chrono::nanoseconds value) noexcept {
    const std::uint64_t ns = value.count() > 0 ? static_cast<std::uint64_t>(value.count()) : 0;
    // One writer at a time: a plain read and write, no locked instruction.
    auto& slot = counts_[bucket_of(ns)];
    slot.store(slot.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (ns > max_.load(std::memory_order_relaxed)) max_.store(ns, std::memory_order_relaxed);
}

std::chrono::nanoseconds DurationHistogram::quantile(double q) const noexcept {
    // A snapshot first, so the rank and the walk see the same counts.
    std::array<std::uint64_t, kBuckets> seen;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) total += seen[i] = counts_[i].load(std::memory_order_relaxed);
    if (total == 0) return {};
    const auto rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(total))));
    std::uint64_t below = 0;
    std::size_t bucket = 0;
    for (; bucket < kBuckets - 1; ++bucket) {
        below += seen[bucket];
        if (below >= rank) break;
    }
    const auto value = std::min(middle_of(bucket), max_.load(std::memory_order_relaxed));
    return std::chrono::nanoseconds(static_cast<std::int64_t>(value));
}

std::chrono::nanoseconds DurationHistogram::max() const noexcept {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(max_.load(std::memory_order_relaxed)));
}

std::uint64_t DurationHistogram::count() const noexcept {
    std::uint64_t total = 0;
    for (const auto& slot : counts_) total += slot.load(std::memory_order_relaxed);
    return total;
}

}  // namespace drovik::timer
