// Measures the coverage of the confidence bounds: for every class and
// setting, the share of simulated streams whose true distinct count lies
// within [lower_bound, upper_bound] at confidence 0.68, 0.95 and 0.99.
// Streams are uniformly random 64-bit hashes from fixed seeds, so every run
// prints the same table.
//
// Usage: calibrate_bounds [STREAMS]   (default 2000 streams per row)
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "theta/theta_sketch.hpp"

namespace {

constexpr std::array<double, 3> kConfidences = {0.68, 0.95, 0.99};
constexpr std::uint64_t kBaseSeed = 0x626f756e6473ULL;

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

struct Bounds {
    std::array<double, kConfidences.size()> lower;
    std::array<double, kConfidences.size()> upper;
};

template <class Sketch>
Bounds bounds_of(const Sketch& sketch) {
    Bounds b;
    for (std::size_t i = 0; i < kConfidences.size(); ++i) {
        b.lower[i] = sketch.lower_bound(kConfidences[i]);
        b.upper[i] = sketch.upper_bound(kConfidences[i]);
    }
    return b;
}

// One stream: fills sketches from the random source and returns the true
// count with the bounds found.
struct Outcome {
    double truth;
    Bounds bounds;
};
using Trial = std::function<Outcome(std::uint64_t& rng)>;

std::uint64_t g_streams = 2000;
std::uint64_t g_row = 0;

void row(const std::string& name, const std::string& setting, std::uint64_t n, const Trial& trial) {
    std::array<std::uint64_t, kConfidences.size()> covered{};
    std::uint64_t rng = kBaseSeed + 0x1000003ULL * ++g_row;
    for (std::uint64_t s = 0; s < g_streams; ++s) {
        const Outcome o = trial(rng);
        for (std::size_t i = 0; i < kConfidences.size(); ++i) {
            covered[i] += o.bounds.lower[i] <= o.truth && o.truth <= o.bounds.upper[i];
        }
    }
    std::printf("| %-16s | %-22s | %9llu |", name.c_str(), setting.c_str(), static_cast<unsigned long long>(n));
    for (std::uint64_t c : covered) std::printf(" %5.1f |", 100.0 * static_cast<double>(c) / g_streams);
    std::printf("\n");
    std::fflush(stdout);
}

// ---- theta ----

using quillo::theta::ThetaSketch;

ThetaSketch theta_stream(std::uint64_t k, std::uint64_t n, std::uint64_t& rng) {
    ThetaSketch sketch = ThetaSketch::create(k);
    for (std::uint64_t i = 0; i < n; ++i) sketch.update_hash(splitmix64(rng));
    return sketch;
}

void theta_rows() {
    constexpr std::uint64_t k = 256;
    for (std::uint64_t n : {400, 600, 2000, 20000, 200000}) {
        row("ThetaSketch", "k=256", n, [n](std::uint64_t& rng) {
            return Outcome{static_cast<double>(n), bounds_of(theta_stream(k, n, rng))};
        });
    }
    for (std::uint64_t n : {10000, 100000}) {
        row("ThetaSketch", "k=4096", n, [n](std::uint64_t& rng) {
            return Outcome{static_cast<double>(n), bounds_of(theta_stream(4096, n, rng))};
        });
    }
    // Two streams of n with n / 2 in common.
    for (std::uint64_t n : {400, 5000, 50000}) {
        auto pair = [n](std::uint64_t& rng) {
            ThetaSketch a = ThetaSketch::create(k);
            ThetaSketch b = ThetaSketch::create(k);
            for (std::uint64_t i = 0; i < n; ++i) {
                const std::uint64_t h = splitmix64(rng);
                if (i % 2 == 0) {
                    a.update_hash(h);
                    b.update_hash(h);
                } else {
                    a.update_hash(h);
                    b.update_hash(splitmix64(rng));
                }
            }
            return std::pair{std::move(a), std::move(b)};
        };
        row("ThetaSketch", "union, k=256", 3 * n / 2, [&](std::uint64_t& rng) {
            auto [a, b] = pair(rng);
            return Outcome{static_cast<double>(3 * n / 2), bounds_of(a.union_with(b))};
        });
        row("ThetaSketch", "intersection, k=256", n / 2, [&](std::uint64_t& rng) {
            auto [a, b] = pair(rng);
            return Outcome{static_cast<double>(n / 2), bounds_of(a.intersect(b))};
        });
        row("ThetaSketch", "difference, k=256", n / 2, [&](std::uint64_t& rng) {
            auto [a, b] = pair(rng);
            return Outcome{static_cast<double>(n / 2), bounds_of(a.difference(b))};
        });
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) g_streams = std::strtoull(argv[1], nullptr, 10);
    if (g_streams == 0) g_streams = 1;
    std::printf("| Class            | Setting                | n         |  68%%  |  95%%  |  99%%  |\n");
    std::printf("|------------------|------------------------|-----------|-------|-------|-------|\n");
    theta_rows();
}
