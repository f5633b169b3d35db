// Measures the coverage of the confidence bounds: for every class and
// setting, the share of simulated streams whose true distinct count lies
// within [lower_bound, upper_bound] at confidence 0.68, 0.95 and 0.99.
// Streams are uniformly random 64-bit hashes from fixed seeds, so every run
// prints the same table.
//
// Usage: calibrate_bounds table   (prints src/hll/register_error_table.cpp)
//        calibrate_bounds [STREAMS [FAMILY]]   (default 2000 streams per row,
// every family; FAMILY is one of theta, hll, hllpp, linear, cpc)
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "common/confidence.hpp"
#include "cpc/cpc_sketch.hpp"
#include "hll/coupon.hpp"
#include "hll/hll_sketch.hpp"
#include "hll/hllpp_sketch.hpp"
#include "hll/hllpp_sparse_sketch.hpp"
#include "hll/register_error_table.hpp"
#include "linear/hybrid_counter.hpp"
#include "linear/linear_counter.hpp"
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
    std::printf("| %-23s | %-24s | %9llu |", name.c_str(), setting.c_str(), static_cast<unsigned long long>(n));
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
        row("ThetaSketch", "k=256", n,
            [n](std::uint64_t& rng) { return Outcome{static_cast<double>(n), bounds_of(theta_stream(k, n, rng))}; });
    }
    for (std::uint64_t n : {10000, 100000}) {
        row("ThetaSketch", "k=4096", n,
            [n](std::uint64_t& rng) { return Outcome{static_cast<double>(n), bounds_of(theta_stream(4096, n, rng))}; });
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

// ---- HLL ----

using quillo::hll::HllPlusPlusSketch;

using quillo::hll::CouponGadget;
using quillo::hll::HllSketch;

// The gadget behind HllSketchMode and HllUnion, asked as they ask it.
struct Gadget {
    CouponGadget gadget;
    double lower_bound(double confidence) const { return gadget.interval(quillo::two_sided_z(confidence)).lower; }
    double upper_bound(double confidence) const { return gadget.interval(quillo::two_sided_z(confidence)).upper; }
};

template <class Sketch>
void feed(Sketch& sketch, std::uint64_t n, std::uint64_t& rng) {
    for (std::uint64_t i = 0; i < n; ++i) sketch.update_hash(splitmix64(rng));
}

void hll_rows() {
    for (std::uint8_t lg_k : {8, 12}) {
        const std::uint64_t m = std::uint64_t{1} << lg_k;
        const std::string k = "lg_k=" + std::to_string(lg_k);
        for (std::uint64_t n : {m / 16, m / 2, 2 * m, 5 * m / 2, 4 * m, 100 * m}) {
            row("HllSketch", k, n, [&](std::uint64_t& rng) {
                HllSketch sketch(lg_k);
                feed(sketch, n, rng);
                return Outcome{static_cast<double>(n), bounds_of(sketch)};
            });
            row("HllSketch", k + ", merged", n, [&](std::uint64_t& rng) {
                HllSketch a(lg_k);
                HllSketch b(lg_k);
                feed(a, n / 2, rng);
                feed(b, n - n / 2, rng);
                a.merge(b);
                return Outcome{static_cast<double>(n), bounds_of(a)};
            });
        }
    }
    constexpr std::uint8_t lg_k = 10;
    for (std::uint64_t n : {6, 40, 90, 300, 1024, 2560, 5000, 100000}) {
        row("HllSketchMode", "lg_k=10", n, [&](std::uint64_t& rng) {
            Gadget g{CouponGadget(lg_k)};
            feed(g.gadget, n, rng);
            return Outcome{static_cast<double>(n), bounds_of(g)};
        });
        row("HllUnion", "lg_k=10, two halves", n, [&](std::uint64_t& rng) {
            Gadget a{CouponGadget(lg_k)};
            CouponGadget b(lg_k);
            feed(a.gadget, n / 2, rng);
            feed(b, n - n / 2, rng);
            a.gadget.merge(b);
            return Outcome{static_cast<double>(n), bounds_of(a)};
        });
    }
}

void hllpp_rows() {
    using quillo::hll::HllPlusPlusSparseSketch;
    constexpr std::uint8_t p = 12;  // linear counting up to 3100
    for (std::uint64_t n : {100, 1000, 3000, 3300, 8000, 20000, 400000}) {
        row("HllPlusPlusSketch", "p=12", n, [&](std::uint64_t& rng) {
            HllPlusPlusSketch sketch = HllPlusPlusSketch::create(p);
            feed(sketch, n, rng);
            return Outcome{static_cast<double>(n), bounds_of(sketch)};
        });
    }
    for (std::uint64_t n : {1000, 3300}) {
        row("HllPlusPlusSparseSketch", "p=12", n, [&](std::uint64_t& rng) {
            HllPlusPlusSparseSketch sketch = HllPlusPlusSparseSketch::create(p);
            feed(sketch, n, rng);
            return Outcome{static_cast<double>(n), bounds_of(sketch)};
        });
    }
}

void linear_rows() {
    using quillo::linear::HybridCounter;
    using quillo::linear::LinearCounter;
    constexpr std::uint64_t bits = 4096;
    for (std::uint64_t n : {50, 500, 2000, 8192, 16384}) {
        row("LinearCounter", "4096 bits", n, [&](std::uint64_t& rng) {
            LinearCounter counter(bits);
            feed(counter, n, rng);
            return Outcome{static_cast<double>(n), bounds_of(counter)};
        });
    }
    for (std::uint64_t n : {100, 450, 600, 2000, 20000}) {
        row("HybridCounter", "8192 bits, lg_k=10, 500", n, [&](std::uint64_t& rng) {
            HybridCounter counter(8192, 10, 500);
            char item[sizeof(std::uint64_t)];
            for (std::uint64_t i = 0; i < n; ++i) {
                const std::uint64_t h = splitmix64(rng);
                std::memcpy(item, &h, sizeof h);
                counter.update(std::string_view(item, sizeof item));
            }
            return Outcome{static_cast<double>(n), bounds_of(counter)};
        });
    }
}

void cpc_rows() {
    using quillo::cpc::CpcSketch;
    constexpr std::uint8_t lg_k = 10;
    constexpr std::uint64_t k = std::uint64_t{1} << lg_k;
    // The coupon of an item as CpcSketch::update makes it: column from the
    // leading zeros of one hash word, row from the other.
    auto feed_cpc = [](CpcSketch& sketch, std::uint64_t n, std::uint64_t& rng) {
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint64_t high = splitmix64(rng);
            const std::uint64_t low = splitmix64(rng);
            const auto column = std::min(static_cast<unsigned>(std::countl_zero(high)), 63u);
            sketch.update_pair((static_cast<std::uint32_t>(low & (k - 1)) << 6) | column);
        }
    };
    for (std::uint64_t n : {k / 16, k / 2, 2 * k, 6 * k, 40 * k}) {
        row("CpcSketch", "lg_k=10", n, [&](std::uint64_t& rng) {
            CpcSketch sketch(lg_k);
            feed_cpc(sketch, n, rng);
            return Outcome{static_cast<double>(n), bounds_of(sketch)};
        });
        row("CpcSketch", "lg_k=10, merged", n, [&](std::uint64_t& rng) {
            CpcSketch a(lg_k);
            CpcSketch b(lg_k);
            feed_cpc(a, n / 2, rng);
            feed_cpc(b, n - n / 2, rng);
            a.merge(b);
            return Outcome{static_cast<double>(n), bounds_of(a)};
        });
    }
}

// The bias and spread of the classic register formula at the loads of
// kRawErrorTable, and the spread of the HLL++ estimate, over kTableStreams
// streams at lg_k kTableLgK, written as the source of that table.
constexpr std::uint8_t kTableLgK = 10;
constexpr std::uint64_t kTableStreams = 20000;

struct Moments {
    double sum = 0.0;
    double sum_sq = 0.0;
    void add(double x) {
        sum += x;
        sum_sq += x * x;
    }
    double mean() const { return sum / static_cast<double>(kTableStreams); }
    double deviation() const {
        return std::sqrt(std::max(0.0, sum_sq / static_cast<double>(kTableStreams) - mean() * mean()));
    }
};

void print_raw_error_table() {
    using namespace quillo::hll;
    const std::uint64_t m = std::uint64_t{1} << kTableLgK;
    std::array<std::uint64_t, kRawErrorPoints> counts{};
    for (int i = 0; i < kRawErrorPoints; ++i) {
        const double load = kRawErrorFirstLoad * std::exp2(static_cast<double>(i) / kRawErrorStepsPerDoubling);
        counts[i] = static_cast<std::uint64_t>(std::llround(load * static_cast<double>(m)));
    }
    std::array<Moments, kRawErrorPoints> raw{};
    std::array<Moments, kRawErrorPoints> corrected{};
    std::uint64_t rng = kBaseSeed;
    for (std::uint64_t s = 0; s < kTableStreams; ++s) {
        HllSketch sketch(kTableLgK);
        HllPlusPlusSketch plus = HllPlusPlusSketch::create(kTableLgK);
        std::uint64_t seen = 0;
        for (int i = 0; i < kRawErrorPoints; ++i) {
            for (; seen < counts[i]; ++seen) {
                const std::uint64_t h = splitmix64(rng);
                sketch.update_hash(h);
                plus.update_hash(h);
            }
            const auto n = static_cast<double>(counts[i]);
            raw[i].add(raw_register_estimate(sketch.registers()) / n - 1.0);
            corrected[i].add(plus.estimate() / n - 1.0);
        }
    }
    std::printf("// Generated by tools/calibrate_bounds.sh table (lg_k %d, %llu streams); do not edit.\n", kTableLgK,
                static_cast<unsigned long long>(kTableStreams));
    std::printf("#include \"hll/register_error_table.hpp\"\n\nnamespace quillo::hll {\n\n");
    std::printf("const std::array<RawError, kRawErrorPoints> kRawErrorTable = {{\n");
    const double root_m = std::sqrt(static_cast<double>(m));
    for (int i = 0; i < kRawErrorPoints; ++i) {
        std::printf("    {%.6f, %.6f, %.6f},\n", raw[i].mean(), raw[i].deviation() * root_m,
                    corrected[i].deviation() * root_m);
    }
    std::printf("}};\n\n}  // namespace quillo::hll\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "table") {
        print_raw_error_table();
        return 0;
    }
    if (argc > 1) g_streams = std::strtoull(argv[1], nullptr, 10);
    if (g_streams == 0) g_streams = 1;
    std::printf("| Class                   | Setting                  | n         |  68%%  |  95%%  |  99%%  |\n");
    std::printf("|-------------------------|--------------------------|-----------|-------|-------|-------|\n");
    const std::string only = argc > 2 ? argv[2] : "";
    if (only.empty() || only == "theta") theta_rows();
    if (only.empty() || only == "hll") hll_rows();
    if (only.empty() || only == "hllpp") hllpp_rows();
    if (only.empty() || only == "linear") linear_rows();
    if (only.empty() || only == "cpc") cpc_rows();
}
