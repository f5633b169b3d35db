// Checks the fast repeated subtraction of the VarOpt sketch against the plain
// loop, bit for bit, over ordinary, halfway, tiny, negative and non-finite
// steps, and the position counts against a plain array.
#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "varopt/countdown.hpp"
#include "varopt/position_counts.hpp"

namespace {

quillo::varopt::Countdown plain_loop(double u, double d, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) {
        if (u < d) return {i, u};
        u -= d;
    }
    return {n, u};
}

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string hex(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%a", x);
    return text;
}

void compare(double u, double d, std::uint64_t n) {
    const auto fast = quillo::varopt::count_down(u, d, n);
    const auto slow = plain_loop(u, d, n);
    INFO("u ", hex(u), " d ", hex(d), " n ", n);
    CHECK(fast.stopped_at == slow.stopped_at);
    CHECK_MESSAGE(same_bits(fast.rest, slow.rest), "rest ", hex(fast.rest), " instead of ", hex(slow.rest));
}

TEST_CASE("count_down matches the plain loop for zero, subnormal, infinite and NaN steps") {
    const double specials[] = {0.0, -0.0, std::nan(""), INFINITY, -INFINITY, 5e-324, -5e-324, 1e-310, 1.0, 2.0};
    for (double d : specials) {
        for (double u : {0.0, 0x1p-64, 0.3, 0.999999}) compare(u, d, 3000);
    }
}

TEST_CASE("count_down matches the plain loop for ordinary, tiny negative and halfway steps") {
    std::mt19937_64 gen(20261206);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 4000; ++trial) {
        const double u = trial % 7 == 0 ? std::ldexp(unit(gen), -static_cast<int>(gen() % 64)) : unit(gen);
        const int exponent = 1 + static_cast<int>(gen() % 60);
        double d = std::ldexp(unit(gen), -exponent);
        const auto n = static_cast<std::uint64_t>(1 + gen() % 4000);
        switch (trial % 5) {
            case 0: break;
            case 1: d = -d * 1e-12; break;  // rounding left a tiny negative drop chance
            case 2: {
                // Exactly halfway between two units of u's binade.
                const int e = std::ilogb(u) - 52;
                d = std::ldexp(static_cast<double>(gen() % 4096) + 0.5, e);
                break;
            }
            case 3:
                d = std::ldexp(static_cast<double>(1 + gen() % 64), std::ilogb(u) - 52 - static_cast<int>(gen() % 3));
                break;
            default: d = u / static_cast<double>(n) * (0.5 + unit(gen));
        }
        compare(u, d, n);
    }
}

// Where the counts disagree with the plain array of occupied places, or "".
std::string first_difference(const quillo::varopt::PositionCounts& counts, const std::vector<int>& plain) {
    std::uint64_t rank = 0;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        if (plain[i] == 0) continue;
        if (counts.find(rank) != i) {
            return "rank " + std::to_string(rank) + " found at " + std::to_string(counts.find(rank)) + ", not at " +
                   std::to_string(i);
        }
        ++rank;
    }
    if (counts.total() != rank) return "total " + std::to_string(counts.total()) + ", not " + std::to_string(rank);
    return "";
}

TEST_CASE("position counts find the same places as a plain array under inserts and erases") {
    std::mt19937_64 gen(7);
    for (std::size_t size : {1u, 2u, 3u, 17u, 64u, 65u, 100u, 300u}) {
        std::vector<int> plain(size);
        for (std::size_t i = 0; i < size / 2; ++i) plain[i] = static_cast<int>(gen() % 2);
        quillo::varopt::PositionCounts counts;
        counts.assign(size, size / 2, [&](std::size_t i) { return plain[i] == 1; });
        std::string difference;
        for (int step = 0; step < 500 && difference.empty(); ++step) {
            const std::size_t at = gen() % size;
            if (plain[at] == 1) {
                counts.erase(at);
            } else {
                counts.insert(at);
            }
            plain[at] ^= 1;
            difference = first_difference(counts, plain);
            if (!difference.empty()) difference = "after step " + std::to_string(step) + ": " + difference;
        }
        INFO("size ", size);
        CHECK_MESSAGE(difference.empty(), difference);
    }
}

}  // namespace
