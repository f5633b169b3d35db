#pragma once
// Pieces shared by the compactor-stack quantile sketches: the deterministic
// coin that picks which half of a level survives a compaction, weights of
// levels, and the sort of a level.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Up to this size a level is sorted without branches: the runs at the bottom
// of a deep stack hold three or four values in random order, where every
// mispredicted branch costs more than the sort's whole work.
inline constexpr std::size_t kTranspositionSortLimit = 8;

// Orders two neighbours as one step of the insertion sort would: they swap
// only when the right one is less. Computed without a branch: SSE2's min and
// max pick exactly `right < left ? right : left` and its mirror.
inline void compare_exchange(double& left, double& right) {
#if defined(__SSE2__)
    const __m128d l = _mm_set_sd(left);
    const __m128d r = _mm_set_sd(right);
    left = _mm_cvtsd_f64(_mm_min_sd(r, l));
    right = _mm_cvtsd_f64(_mm_max_sd(l, r));
#else
    const auto bits_left = std::bit_cast<std::uint64_t>(left);
    const auto bits_right = std::bit_cast<std::uint64_t>(right);
    const std::uint64_t swap = std::uint64_t{0} - std::uint64_t{right < left};
    const std::uint64_t low = (bits_right & swap) | (bits_left & ~swap);
    left = std::bit_cast<double>(low);
    right = std::bit_cast<double>(low ^ bits_left ^ bits_right);
#endif
}

inline double load_one(const double* value) {
#if defined(__SSE2__)
    return _mm_cvtsd_f64(_mm_load_sd(value));
#else
    return *value;
#endif
}

// Odd-even transposition: N rounds of compare-exchanges of neighbours,
// unrolled so that the values stay in registers. Neighbours swap only when
// the right one is less, as in the insertion sort, so both leave the same
// order: equal values keep theirs, and a NaN, neither less nor greater than
// anything, stays in place as a wall between the runs sorted on either side.
template <std::size_t N>
void transposition_sort(std::span<double> values) {
    std::array<double, N> v;
    // One load per value: the values were just stored one by one, and a
    // wider load spanning two of those stores would wait for both to retire.
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) v[i] = load_one(&values[i]);
#pragma GCC unroll 8
    for (std::size_t round = 0; round < N; ++round) {
#pragma GCC unroll 4
        for (std::size_t i = round & 1; i + 1 < N; i += 2) compare_exchange(v[i], v[i + 1]);
    }
    for (std::size_t i = 0; i < N; ++i) values[i] = v[i];
}

template <std::size_t... N>
void transposition_sort_of_size(std::span<double> values, std::index_sequence<N...>) {
    (void)((values.size() == N && (transposition_sort<N>(values), true)) || ...);
}

inline void insertion_sort(std::span<double> values) {
    for (std::size_t i = 1; i < values.size(); ++i) {
        const double v = values[i];
        std::size_t j = i;
        for (; j > 0 && v < values[j - 1]; --j) values[j] = values[j - 1];
        values[j] = v;
    }
}

// Ascending by float less-than, equal values keeping their order. NaN
// compares false both ways; every sort here tolerates that and stays in bounds.
inline void sort_values(std::span<double> values) {
    if (values.size() <= kTranspositionSortLimit) {
        transposition_sort_of_size(values, std::make_index_sequence<kTranspositionSortLimit + 1>());
    } else if (values.size() < kInsertionSortLimit) {
        insertion_sort(values);
    } else {
        std::stable_sort(values.begin(), values.end(), [](double a, double b) { return a < b; });
    }
}

}  // namespace quillo::quantiles
