#pragma once
// Pieces shared by the compactor-stack quantile sketches: the deterministic
// coin that picks which half of a level survives a compaction, weights of
// levels, and the weighted quantile walk over retained values.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
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

struct Weighted {
    double value;
    std::uint64_t weight;
};

// Sums weights as an unsigned integer (wrapping like any counter), then walks
// the values in ascending order accumulating weight as a double; the answer is
// the first value at which the running total reaches q times the total.
inline std::optional<double> weighted_quantile(std::vector<Weighted>& pairs, double q) {
    std::stable_sort(pairs.begin(), pairs.end(), [](const Weighted& a, const Weighted& b) { return a.value < b.value; });
    std::uint64_t total = 0;
    for (const Weighted& p : pairs) total += p.weight;
    const double target = q * static_cast<double>(total);
    double running = 0.0;
    for (const Weighted& p : pairs) {
        running += static_cast<double>(p.weight);
        if (running >= target) return p.value;
    }
    return std::nullopt;
}

// A sketch's retained values as runs of equal weight: `for_each_run(fn)` calls
// fn(weight, values) once per level.
template <class ForEachRun>
std::vector<Weighted> weighted_values(ForEachRun for_each_run) {
    std::size_t total = 0;
    for_each_run([&](std::uint64_t, std::span<const double> values) { total += values.size(); });
    std::vector<Weighted> pairs;
    pairs.reserve(total);
    for_each_run([&](std::uint64_t weight, std::span<const double> values) {
        for (double v : values) pairs.push_back({v, weight});
    });
    return pairs;
}

// The quantile of a compactor stack: the exact minimum and maximum at the
// ends, the weighted walk in between.
template <class ForEachRun>
std::optional<double> stack_quantile(ForEachRun for_each_run, double rank, std::uint64_t n,
                                     std::optional<double> min_value, std::optional<double> max_value) {
    if (!(rank >= 0.0 && rank <= 1.0)) panic("Rank must be between 0.0 and 1.0");
    if (n == 0) return std::nullopt;
    if (rank == 0.0) return min_value;
    if (rank == 1.0) return max_value;
    auto pairs = weighted_values(for_each_run);
    if (pairs.empty()) return min_value;
    auto value = weighted_quantile(pairs, rank);
    return value ? value : max_value;
}

// Fraction of the weight held by values not greater than x (NaN values count).
template <class ForEachRun>
double weighted_rank(ForEachRun for_each_run, double x) {
    std::uint64_t total = 0;
    std::uint64_t below = 0;
    for_each_run([&](std::uint64_t weight, std::span<const double> values) {
        for (double v : values) {
            total += weight;
            if (!(v > x)) below += weight;
        }
    });
    return total == 0 ? 0.0 : static_cast<double>(below) / static_cast<double>(total);
}

}  // namespace quillo::quantiles
