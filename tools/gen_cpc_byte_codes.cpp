// Writes src/cpc/byte_code_tables.cpp: one prefix code per phase for the
// window bytes of the CPC image.
//
// The window bytes follow from the matrix model itself, so no simulation is
// needed. With n items spread over k rows, the items of one row are a Poisson
// count with mean lambda = n / k, and those of its column c a Poisson count
// with mean lambda * 2^-(c+1), independent across columns; bit c of the row is
// set with probability 1 - exp(-lambda * 2^-(c+1)), and the bits are
// independent. The expected coupons per row, x = C / k, is the sum of those
// probabilities over the 64 columns, which fixes lambda for every C / k, and
// with it the window offset, the phase and the exact distribution of a window
// byte. Each phase's distribution is the mean of these over a fine grid of
// C / k across every interval in which the phase is used (every C equally
// likely), and its code is the optimal prefix code limited to 12 bits
// (package-merge). Codes are stored bit-reversed because the streams are read
// least significant bit first. Deterministic; build and run from the
// repository root:
//
//   g++ -O2 -std=c++20 -o /tmp/gen_cpc_byte_codes tools/gen_cpc_byte_codes.cpp
//   /tmp/gen_cpc_byte_codes > src/cpc/byte_code_tables.cpp
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

constexpr unsigned kPhases = 22;
constexpr unsigned kSymbols = 256;
constexpr unsigned kWindowBits = 8;
constexpr unsigned kColumns = 64;
constexpr unsigned kMaxCodeLength = 12;
// Window streams start with the Pinned flavor at C / k = 1/2. Once the window
// slides, the byte distributions repeat with period 1 in C / k; the grid runs
// sixteen periods past the start of sliding, so each cyclic phase averages
// sixteen window positions and the unmoved one (C / k below 27/8).
constexpr double kFirstLoad = 0.5;
constexpr double kLastLoad = 27.0 / 8.0 + 16.0;
constexpr unsigned kGridStepsPerUnit = 1024;
// Probabilities become integer weights for package-merge.
constexpr double kWeightScale = 0x1p52;

using Distribution = std::array<double, kSymbols>;

// Coupons per row expected at lambda items per row.
double load_for(double lambda) {
    double load = 0.0;
    for (unsigned c = 0; c + 1 < kColumns; ++c) load += -std::expm1(-std::ldexp(lambda, -static_cast<int>(c + 1)));
    return load - std::expm1(-std::ldexp(lambda, -static_cast<int>(kColumns - 1)));
}

// The lambda whose expected load is `load` (bisection; the load rises with lambda).
double lambda_for(double load) {
    double low = 0.0;
    double high = 1.0;
    while (load_for(high) < load) high *= 2.0;
    for (int i = 0; i < 64; ++i) {
        const double middle = 0.5 * (low + high);
        (load_for(middle) < load ? low : high) = middle;
    }
    return 0.5 * (low + high);
}

// The rules of the sketch at C = load * k.
unsigned window_offset(double load) { return load < 27.0 / 8.0 ? 0 : static_cast<unsigned>(load - 19.0 / 8.0); }

unsigned phase_of(double load) {
    if (load >= 2.375) return static_cast<unsigned>(load * 16.0) & 15;
    if (load < 0.75) return 16;
    if (load < 1.1) return 17;
    if (load < 1.32) return 18;
    if (load < 5.0 / 3.0) return 19;
    if (load < 1.965) return 20;
    if (load < 2.275) return 21;
    return 6;
}

void add_window_distribution(double load, Distribution& into) {
    const double lambda = lambda_for(load);
    const unsigned offset = window_offset(load);
    std::array<double, kWindowBits> set{};
    for (unsigned j = 0; j < kWindowBits; ++j) {
        set[j] = -std::expm1(-std::ldexp(lambda, -static_cast<int>(offset + j + 1)));
    }
    for (unsigned byte = 0; byte < kSymbols; ++byte) {
        double p = 1.0;
        for (unsigned j = 0; j < kWindowBits; ++j) p *= (byte >> j & 1) ? set[j] : 1.0 - set[j];
        into[byte] += p;
    }
}

std::vector<Distribution> phase_distributions() {
    std::vector<Distribution> distributions(kPhases, Distribution{});
    const unsigned first = static_cast<unsigned>(kFirstLoad * kGridStepsPerUnit);
    const unsigned last = static_cast<unsigned>(kLastLoad * kGridStepsPerUnit);
    for (unsigned step = first; step < last; ++step) {
        // The middle of each grid cell, so no point falls on a phase boundary.
        const double load = (step + 0.5) / kGridStepsPerUnit;
        add_window_distribution(load, distributions[phase_of(load)]);
    }
    return distributions;
}

struct Item {
    std::uint64_t weight;
    std::vector<std::uint16_t> symbols;
};

// Package-merge: the code length of a symbol is the number of selected items
// that contain it. Every symbol weighs at least 1, so every byte is codable.
std::array<unsigned, kSymbols> limited_code_lengths(const Distribution& distribution) {
    double total = 0.0;
    for (double p : distribution) total += p;
    std::vector<Item> leaves;
    for (unsigned s = 0; s < kSymbols; ++s) {
        const auto weight = static_cast<std::uint64_t>(std::llround(distribution[s] / total * kWeightScale));
        leaves.push_back({std::max<std::uint64_t>(weight, 1), {static_cast<std::uint16_t>(s)}});
    }
    auto lighter = [](const Item& a, const Item& b) { return a.weight < b.weight; };
    std::stable_sort(leaves.begin(), leaves.end(), lighter);
    std::vector<Item> level = leaves;
    for (unsigned depth = 1; depth < kMaxCodeLength; ++depth) {
        std::vector<Item> packages;
        for (std::size_t i = 0; i + 1 < level.size(); i += 2) {
            Item package{level[i].weight + level[i + 1].weight, level[i].symbols};
            package.symbols.insert(package.symbols.end(), level[i + 1].symbols.begin(), level[i + 1].symbols.end());
            packages.push_back(std::move(package));
        }
        std::vector<Item> merged;
        std::merge(leaves.begin(), leaves.end(), packages.begin(), packages.end(), std::back_inserter(merged), lighter);
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
    const std::vector<Distribution> distributions = phase_distributions();
    std::printf("// Generated by tools/gen_cpc_byte_codes.cpp; do not edit.\n");
    std::printf("#include \"cpc/generated_tables.hpp\"\n\nnamespace quillo::cpc {\n\n");
    std::printf("const std::array<std::array<std::uint16_t, 256>, kPhaseCount> kByteCodes = {{\n");
    for (unsigned phase = 0; phase < kPhases; ++phase) {
        const auto codes = canonical_codes(limited_code_lengths(distributions[phase]));
        std::printf("    // phase %u\n    {{", phase);
        for (unsigned s = 0; s < kSymbols; ++s) {
            std::printf("%s%u,", s % 12 == 0 ? "\n        " : " ", codes[s]);
        }
        std::printf("\n    }},\n");
    }
    std::printf("}};\n\n}  // namespace quillo::cpc\n");
    return 0;
}
