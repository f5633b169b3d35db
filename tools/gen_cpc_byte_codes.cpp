// Writes src/cpc/byte_code_tables.cpp: one prefix code per phase for the
// window bytes of the CPC image.
//
// For each phase the tool counts the window bytes of simulated sketches at
// that phase (several lg_k, fixed seeds, coupons drawn from the same row and
// column distribution as hashed items), adds one to every count so that every
// byte stays codable, and builds an optimal prefix code limited to 12 bits by
// package-merge. Codes are stored bit-reversed because the streams are read
// least significant bit first. Build and run from the repository root:
//
//   g++ -O2 -std=c++20 -Isrc -o /tmp/gen_cpc_byte_codes tools/gen_cpc_byte_codes.cpp
//       src/cpc/cpc_sketch.cpp src/cpc/pair_table.cpp src/cpc/coupon_coefficients.cpp
//   /tmp/gen_cpc_byte_codes > src/cpc/byte_code_tables.cpp
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "cpc/cpc_sketch.hpp"

namespace {

using quillo::cpc::CpcSketch;

constexpr unsigned kPhases = 22;
constexpr unsigned kSymbols = 256;
constexpr unsigned kMaxCodeLength = 12;
// lg_k and number of sketches; every lg_k contributes the same number of rows.
constexpr std::array<std::pair<unsigned, unsigned>, 3> kRuns = {{{8, 64}, {10, 16}, {12, 4}}};
// Sketches run until C = kFinalLoad * k, and the window is counted every
// k / kSamplesPerK coupons.
constexpr unsigned kFinalLoad = 16;
constexpr unsigned kSamplesPerK = 64;
constexpr std::uint64_t kBaseSeed = 0x5eed0f00dULL;

using Histogram = std::array<std::uint64_t, kSymbols>;

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

unsigned phase_of(std::uint64_t c, unsigned lg_k) {
    const std::uint64_t k = std::uint64_t{1} << lg_k;
    if (1000 * c >= 2375 * k) return (c >> (lg_k - 4)) & 15;
    if (4 * c < 3 * k) return 16;
    if (10 * c < 11 * k) return 17;
    if (100 * c < 132 * k) return 18;
    if (3 * c < 5 * k) return 19;
    if (1000 * c < 1965 * k) return 20;
    if (1000 * c < 2275 * k) return 21;
    return 6;
}

void simulate(unsigned lg_k, std::uint64_t seed, std::vector<Histogram>& histograms) {
    CpcSketch sketch(static_cast<std::uint8_t>(lg_k));
    const std::uint64_t k = std::uint64_t{1} << lg_k;
    const std::uint64_t step = k / kSamplesPerK;
    std::uint64_t next_sample = k / 2;  // the window stream starts with Pinned
    std::uint64_t state = seed;
    while (sketch.coupon_count() < kFinalLoad * k) {
        const std::uint64_t a = splitmix64(state);
        const std::uint64_t b = splitmix64(state);
        const auto column = std::min<unsigned>(std::countl_zero(b), 63);
        sketch.update_pair(static_cast<std::uint32_t>(((a & (k - 1)) << 6) | column));
        if (sketch.coupon_count() < next_sample) continue;
        next_sample += step;
        Histogram& histogram = histograms[phase_of(sketch.coupon_count(), lg_k)];
        for (std::uint8_t byte : sketch.window()) ++histogram[byte];
    }
}

struct Item {
    std::uint64_t weight;
    std::vector<std::uint16_t> symbols;
};

// Package-merge: the code length of a symbol is the number of selected items
// that contain it.
std::array<unsigned, kSymbols> limited_code_lengths(const Histogram& histogram) {
    std::vector<Item> leaves;
    for (unsigned s = 0; s < kSymbols; ++s) leaves.push_back({histogram[s] + 1, {static_cast<std::uint16_t>(s)}});
    std::stable_sort(leaves.begin(), leaves.end(), [](const Item& a, const Item& b) { return a.weight < b.weight; });
    std::vector<Item> level = leaves;
    for (unsigned depth = 1; depth < kMaxCodeLength; ++depth) {
        std::vector<Item> packages;
        for (std::size_t i = 0; i + 1 < level.size(); i += 2) {
            Item package{level[i].weight + level[i + 1].weight, level[i].symbols};
            package.symbols.insert(package.symbols.end(), level[i + 1].symbols.begin(), level[i + 1].symbols.end());
            packages.push_back(std::move(package));
        }
        std::vector<Item> merged;
        std::merge(leaves.begin(), leaves.end(), packages.begin(), packages.end(), std::back_inserter(merged),
                   [](const Item& a, const Item& b) { return a.weight < b.weight; });
        level = std::move(merged);
    }
    std::array<unsigned, kSymbols> lengths{};
    for (std::size_t i = 0; i < 2 * kSymbols - 2; ++i) {
        for (std::uint16_t s : level[i].symbols) ++lengths[s];
    }
    return lengths;
}

std::uint32_t reverse_bits(std::uint32_t code, unsigned length) {
    std::uint32_t reversed = 0;
    for (unsigned i = 0; i < length; ++i) reversed |= ((code >> i) & 1u) << (length - 1 - i);
    return reversed;
}

// Canonical code for the lengths, each code bit-reversed for LSB-first reading.
std::array<std::uint16_t, kSymbols> canonical_codes(const std::array<unsigned, kSymbols>& lengths) {
    std::array<unsigned, kSymbols> order{};
    for (unsigned s = 0; s < kSymbols; ++s) order[s] = s;
    std::stable_sort(order.begin(), order.end(), [&](unsigned a, unsigned b) { return lengths[a] < lengths[b]; });
    std::array<std::uint16_t, kSymbols> codes{};
    std::uint32_t code = 0;
    unsigned previous = lengths[order[0]];
    for (unsigned s : order) {
        const unsigned length = lengths[s];
        if (length == 0 || length > kMaxCodeLength) throw std::runtime_error("bad code length");
        code <<= (length - previous);
        previous = length;
        codes[s] = static_cast<std::uint16_t>(reverse_bits(code, length) | (length << 12));
        ++code;
    }
    if (code != (1u << previous)) throw std::runtime_error("code is not complete");
    return codes;
}

}  // namespace

int main() {
    std::vector<Histogram> histograms(kPhases, Histogram{});
    std::uint64_t seed = kBaseSeed;
    for (const auto& [lg_k, sketches] : kRuns) {
        for (unsigned i = 0; i < sketches; ++i) simulate(lg_k, splitmix64(seed), histograms);
    }
    std::printf("// Generated by tools/gen_cpc_byte_codes.cpp; do not edit.\n");
    std::printf("#include \"cpc/generated_tables.hpp\"\n\nnamespace quillo::cpc {\n\n");
    std::printf("const std::array<std::array<std::uint16_t, 256>, kPhaseCount> kByteCodes = {{\n");
    for (unsigned phase = 0; phase < kPhases; ++phase) {
        const auto codes = canonical_codes(limited_code_lengths(histograms[phase]));
        std::printf("    // phase %u\n    {{", phase);
        for (unsigned s = 0; s < kSymbols; ++s) {
            std::printf("%s%u,", s % 12 == 0 ? "\n        " : " ", codes[s]);
        }
        std::printf("\n    }},\n");
    }
    std::printf("}};\n\n}  // namespace quillo::cpc\n");
    return 0;
}
