#pragma once
// What both Bloom filters share: sizing from capacity and error rate, and the
// double-hashed positions of an item.
#include <cstdint>
#include <string_view>

#include "hash/hash.hpp"

namespace quillo::bloom {

inline constexpr double kDefaultErrorRate = 0.01;

struct Sizing {
    std::uint64_t positions;       // m
    std::uint64_t hash_functions;  // k
};

// Checks capacity and error rate, then sizes the filter for them.
Sizing size_for(std::uint64_t capacity, double error_rate);

// Images come from outside: the positions must be addressable and the
// per-item work bounded by the stored size.
void check_decoded_shape(std::string_view name, std::uint64_t positions, std::uint64_t hash_functions);

// x mod d by a reciprocal, for any 64-bit x and d > 0: with r = floor((2^64 - 1) / d)
// the estimate floor(x * r / 2^64) is the quotient or one less, so one
// conditional subtraction finishes the remainder. Two multiplications where
// a division would take several times as long.
class Reduction {
public:
    explicit Reduction(std::uint64_t d) : d_(d), reciprocal_(~std::uint64_t{0} / d) {}

    std::uint64_t of(std::uint64_t x) const {
        __extension__ using Wide = unsigned __int128;
        const auto quotient = static_cast<std::uint64_t>((static_cast<Wide>(x) * reciprocal_) >> 64);
        const std::uint64_t rest = x - quotient * d_;
        return rest >= d_ ? rest - d_ : rest;
    }

private:
    std::uint64_t d_;
    std::uint64_t reciprocal_;
};

// The two item hashes; position i is (h1 + i * h2) mod m with the sum wrapping
// at 64 bits. Positions are produced on the fly, so any k is supported.
class Probe {
public:
    explicit Probe(std::string_view item)
        : h1_(hash::item_hash(item, hash::kDefaultSeed)), h2_(hash::item_hash(item, hash::kSecondBloomSeed)) {}

    // Calls `visit(position)` for the k positions in order until it returns
    // false; returns whether every visit returned true.
    template <class Visit>
    bool all_of(std::uint64_t k, std::uint64_t m, Visit visit) const {
        const Reduction modulo(m);
        std::uint64_t h = h1_;
        for (std::uint64_t i = 0; i < k; ++i, h += h2_) {
            if (!visit(modulo.of(h))) return false;
        }
        return true;
    }

    // Calls `visit(h)` for the k unreduced sums h1 + i * h2, before `mod m`.
    template <class Visit>
    void for_each_sum(std::uint64_t k, Visit visit) const {
        std::uint64_t h = h1_;
        for (std::uint64_t i = 0; i < k; ++i, h += h2_) visit(h);
    }

private:
    std::uint64_t h1_;
    std::uint64_t h2_;
};

}  // namespace quillo::bloom
