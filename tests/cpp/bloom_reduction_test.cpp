// Checks the Bloom filters' remainder by reciprocal against the % operator,
// over divisors from 1 to 2^64 - 1 and dividends at the edges of the range.
#include <doctest/doctest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bloom/probe.hpp"

TEST_CASE("the remainder by reciprocal is the remainder") {
    constexpr std::uint64_t kTop = ~std::uint64_t{0};
    constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
    std::vector<std::uint64_t> divisors = {1, 2, 3, 7, 64, 9585059, kHalf - 1, kHalf, kHalf + 1, kTop - 1, kTop};
    std::mt19937_64 random(20261206);
    for (int i = 0; i < 200; ++i) divisors.push_back(random() >> (random() % 64));
    for (std::uint64_t d : divisors) {
        if (d == 0) continue;
        CAPTURE(d);
        const quillo::bloom::Reduction reduction(d);
        std::vector<std::uint64_t> dividends = {0, 1, d - 1, d, kTop, kTop - 1, kHalf, kHalf - 1};
        if (d < kTop) dividends.push_back(d + 1);
        if (d <= kTop / 2) dividends.insert(dividends.end(), {2 * d - 1, 2 * d, kTop / d * d, kTop / d * d - 1});
        for (int i = 0; i < 2000; ++i) dividends.push_back(random());
        for (std::uint64_t x : dividends) {
            CAPTURE(x);
            REQUIRE(reduction.of(x) == x % d);
        }
    }
}
