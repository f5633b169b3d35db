// The branch-free sorts of the compactor sketches against the insertion sort
// they stand in for, over every sequence of up to eight values drawn from
// NaN, both zeros, a number and +inf: the same bits in the same places. The
// KLL column path pads a level with +inf up to the sort's width; that must
// leave the values as the insertion sort of the values alone leaves them.
#include <doctest/doctest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "quantiles/compactor_support.hpp"

namespace quillo::quantiles {

namespace {

constexpr std::size_t kWidth = 8;
constexpr std::array<double, 5> kAlphabet = {std::numeric_limits<double>::quiet_NaN(), -0.0, 0.0, 1.0,
                                             std::numeric_limits<double>::infinity()};

std::vector<std::uint64_t> bits_of(std::span<const double> values) {
    std::vector<std::uint64_t> bits;
    for (double v : values) bits.push_back(std::bit_cast<std::uint64_t>(v));
    return bits;
}

// Calls `check` with every sequence of `n` letters of the alphabet.
template <class Check>
void for_every_sequence(std::size_t n, Check check) {
    std::array<std::size_t, kWidth> digits{};
    std::array<double, kWidth> values{};
    while (true) {
        for (std::size_t i = 0; i < n; ++i) values[i] = kAlphabet[digits[i]];
        check(std::span<const double>(values.data(), n));
        std::size_t i = 0;
        while (i < n && ++digits[i] == kAlphabet.size()) digits[i++] = 0;
        if (i == n) return;
    }
}

template <std::size_t N>
void check_transposition_sort() {
    for (std::size_t n = 0; n <= N; ++n) {
        std::size_t mismatches = 0;
        for_every_sequence(n, [&](std::span<const double> input) {
            std::vector<double> expected(input.begin(), input.end());
            insertion_sort(expected);
            std::array<double, N> padded;
            padded.fill(std::numeric_limits<double>::infinity());
            std::copy(input.begin(), input.end(), padded.begin());
            transposition_sort<N>(padded);
            std::vector<double> sorted(input.begin(), input.end());
            sort_values(sorted);
            if (bits_of(std::span(padded).first(n)) != bits_of(expected) || bits_of(sorted) != bits_of(expected)) {
                ++mismatches;
            }
        });
        CHECK_MESSAGE(mismatches == 0, "width ", N, ", ", n, " values");
    }
}

}  // namespace

TEST_CASE("transposition sorts leave what the insertion sort leaves, padded or not") {
    check_transposition_sort<4>();
    check_transposition_sort<kWidth>();
}

}  // namespace quillo::quantiles
