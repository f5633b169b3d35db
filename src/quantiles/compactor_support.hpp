#pragma once
// Pieces shared by the compactor-stack quantile sketches: the deterministic
// coin that picks which half of a level survives a compaction, weights of
// levels, and the sort of a level.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/error.hpp"
#include "common/saturating.hpp"

namespace quillo::quantiles {

// Every sketch starts from the same state, so equal inputs give equal sketches.
inline constexpr std::uint64_t kCoinSeed = 0xDEADBEEFCAFEBABEULL;

// One xorshift64 step; the coin is the low bit of the new state.
inline bool flip_coin(std::uint64_t& state) {
    std::uint64_t x = state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    state = x;
    return (x & 1) != 0;
}

// 2^level, saturating: levels past 63 only exist in sketches whose counts
// have long since overflowed, and must not shift past the word.
inline std::uint64_t level_weight(std::size_t level) {
    return level < 64 ? std::uint64_t{1} << level : std::numeric_limits<std::uint64_t>::max();
}

// Below this size an insertion sort beats a merge sort's temporary buffer.
inline constexpr std::size_t kInsertionSortLimit = 21;

// Ascending by float less-than, equal values keeping their order. NaN
// compares false both ways; both sorts tolerate that and stay in bounds.
inline void sort_values(std::vector<double>& values) {
    if (values.size() >= kInsertionSortLimit) {
        std::stable_sort(values.begin(), values.end(), [](double a, double b) { return a < b; });
        return;
    }
    for (std::size_t i = 1; i < values.size(); ++i) {
        const double v = values[i];
        std::size_t j = i;
        for (; j > 0 && v < values[j - 1]; --j) values[j] = values[j - 1];
        values[j] = v;
    }
}

}  // namespace quillo::quantiles
