#include "tdigest/batch_sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <utility>

namespace quillo::tdigest {

namespace {

// Below this a comparison sort is quicker than eight counting passes.
constexpr std::size_t kRadixMinimum = 512;
constexpr unsigned kDigitBits = 8;
constexpr unsigned kDigits = 64 / kDigitBits;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// An unsigned key in the order of the doubles; both zeros share one key.
std::uint64_t key_of(double v) {
    const std::uint64_t bits = v == 0.0 ? 0 : std::bit_cast<std::uint64_t>(v);
    return (bits & kSignBit) ? ~bits : bits | kSignBit;
}

unsigned digit(std::uint64_t key, unsigned d) {
    return static_cast<unsigned>(key >> (d * kDigitBits)) & (kBuckets - 1);
}

}  // namespace

void sort_batch(std::vector<double>& values) {
    const std::size_t n = values.size();
    if (n < kRadixMinimum) {
        std::stable_sort(values.begin(), values.end());
        return;
    }
    std::vector<std::array<std::size_t, kBuckets>> counts(kDigits);
    for (auto& c : counts) c.fill(0);
    for (double v : values) {
        const std::uint64_t key = key_of(v);
        for (unsigned d = 0; d < kDigits; ++d) ++counts[d][digit(key, d)];
    }
    std::vector<double> scratch(n);
    double* from = values.data();
    double* to = scratch.data();
    for (unsigned d = 0; d < kDigits; ++d) {
        std::array<std::size_t, kBuckets>& c = counts[d];
        // A digit every key shares leaves the order as it is.
        if (std::find(c.begin(), c.end(), n) != c.end()) continue;
        std::size_t start = 0;
        for (std::size_t& bucket : c) start += std::exchange(bucket, start);
        for (std::size_t i = 0; i < n; ++i) to[c[digit(key_of(from[i]), d)]++] = from[i];
        std::swap(from, to);
    }
    if (from != values.data()) std::copy(from, from + n, values.data());
}

}  // namespace quillo::tdigest
