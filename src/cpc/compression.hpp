#pragma once
// The compressed form of a sketch's window and pair table: a pair stream
// (sorted pairs, column code plus Golomb-style row code) and a window stream
// (one prefix code per row byte, the code table chosen by phase).
#include <cstdint>
#include <span>
#include <vector>

#include "cpc/cpc_sketch.hpp"
#include "cpc/pair_table.hpp"

namespace quillo::cpc {

struct CompressedState {
    std::vector<std::uint32_t> pair_words;
    std::uint32_t pair_count = 0;
    std::vector<std::uint32_t> window_words;
};

struct DecompressedState {
    std::vector<std::uint8_t> window;
    PairTable table;
};

// The shortest possible pair stream for `pair_count` pairs: every pair takes
// at least a one-bit column code, the unary stop bit and the base bits.
std::uint64_t min_pair_stream_bits(std::uint64_t pair_count, std::uint8_t lg_k);

unsigned phase_for(std::uint64_t coupon_count, std::uint8_t lg_k);

CompressedState compress(const CpcSketch& sketch);

// Rebuilds the window and table of a sketch with `lg_k` and `coupon_count`.
// Inconsistent streams end in an internal error; nothing is read past the
// words given.
DecompressedState decompress(std::uint8_t lg_k, std::uint32_t coupon_count, std::span<const std::uint32_t> pair_words,
                             std::uint32_t pair_count, std::span<const std::uint32_t> window_words);

}  // namespace quillo::cpc
