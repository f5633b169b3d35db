// Measures the HLL++ estimator on simulated streams of uniformly random 64-bit
// hashes (seeds independent of the bias-table generator): for every
// precision, the mean relative error at true counts from 1 to 10 m, with and
// without the bias correction, and the mean step of the estimate at the moment
// linear counting hands over to the register formula: the register formula's
// answer over linear counting's on the first state where the latter passes
// its threshold.
//
// Usage: hllpp_accuracy [MIN_P MAX_P]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "hll/hllpp_estimator.hpp"
#include "hll/hllpp_sketch.hpp"

namespace {

namespace hllpp = quillo::hll::hllpp;
using quillo::hll::HllPlusPlusSketch;

constexpr int kWorkLog2 = 22;
constexpr int kSpan = 10;
constexpr int kCheckpoints = 200;
constexpr std::uint64_t kBaseSeed = 0x6163637572616379ULL;

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::vector<std::uint64_t> checkpoints(std::uint64_t m) {
    const std::uint64_t top = kSpan * m;
    const std::uint64_t steps = std::min<std::uint64_t>(kCheckpoints, top);
    std::vector<std::uint64_t> counts;
    for (std::uint64_t i = 1; i <= steps; ++i) counts.push_back((i * top + steps / 2) / steps);
    return counts;
}

hllpp::RegisterCounts counts_of(const HllPlusPlusSketch& sketch) {
    hllpp::RegisterCounts counts;
    for (std::uint8_t r : sketch.registers()) ++counts.by_value[r];
    counts.zero_registers = static_cast<double>(counts.by_value[0]);
    counts.by_value[0] = 0;
    return counts;
}

// The estimate without the bias correction.
double uncorrected(std::uint8_t p, std::uint64_t m, const hllpp::RegisterCounts& counts) {
    const double threshold = hllpp::kLinearCountingThreshold[p - hllpp::kMinPrecision];
    if (counts.zero_registers > 0) {
        const double lc = hllpp::linear_counting(m, counts.zero_registers);
        if (lc <= threshold) return lc;
    }
    return hllpp::raw_estimate(m, counts);
}

struct Worst {
    double error = 0.0;
    std::uint64_t at = 0;
    void note(double e, std::uint64_t n) {
        if (std::fabs(e) > std::fabs(error)) error = e, at = n;
    }
};

void measure(std::uint8_t p) {
    const std::uint64_t m = std::uint64_t{1} << p;
    const std::vector<std::uint64_t> counts = checkpoints(m);
    const std::uint64_t runs = std::uint64_t{1} << (kWorkLog2 - p);
    const double threshold = hllpp::kLinearCountingThreshold[p - hllpp::kMinPrecision];
    std::vector<double> sum(counts.size()), sum_uncorrected(counts.size()), sum_squares(counts.size());
    double step = 0.0, step_uncorrected = 0.0, handover_error = 0.0, handover_lc_error = 0.0;
    for (std::uint64_t run = 0; run < runs; ++run) {
        std::uint64_t state = kBaseSeed ^ (static_cast<std::uint64_t>(p) << 56) ^ run;
        HllPlusPlusSketch sketch = HllPlusPlusSketch::create(p);
        std::uint64_t zeros = m, seen = 0;
        bool handed_over = false;
        for (std::size_t i = 0; i < counts.size(); ++i) {
            for (; seen < counts[i]; ++seen) {
                const std::uint64_t hash = splitmix64(state);
                const bool was_zero = sketch.registers()[hllpp::slot_of(hash, p).index] == 0;
                sketch.update_hash(hash);
                if (!was_zero || handed_over) continue;
                --zeros;
                const double lc = hllpp::linear_counting(m, static_cast<double>(zeros));
                if (zeros > 0 && lc <= threshold) continue;
                handed_over = true;
                const double estimate = sketch.estimate();
                const double n = static_cast<double>(seen + 1);
                step += estimate / lc - 1.0;
                step_uncorrected += uncorrected(p, m, counts_of(sketch)) / lc - 1.0;
                handover_error += estimate / n - 1.0;
                handover_lc_error += lc / n - 1.0;
            }
            const hllpp::RegisterCounts c = counts_of(sketch);
            const double relative = hllpp::estimate(p, m, c) / static_cast<double>(counts[i]) - 1.0;
            sum[i] += relative;
            sum_squares[i] += relative * relative;
            sum_uncorrected[i] += uncorrected(p, m, c) / static_cast<double>(counts[i]) - 1.0;
        }
    }
    Worst worst, worst_above_lc, worst_uncorrected;
    double rms_at_top = 0.0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const double r = static_cast<double>(runs);
        worst.note(sum[i] / r, counts[i]);
        if (static_cast<double>(counts[i]) > threshold) worst_above_lc.note(sum[i] / r, counts[i]);
        worst_uncorrected.note(sum_uncorrected[i] / r, counts[i]);
        rms_at_top = std::sqrt(sum_squares[i] / r);
    }
    const double r = static_cast<double>(runs);
    std::printf("%4d %8llu %+9.3f%% %8llu %+9.3f%% %8llu %+9.3f%% %8llu %+9.3f%% %+9.3f%% %+9.3f%% %+9.3f%% %8.3f%%\n",
                p, static_cast<unsigned long long>(runs), 100 * worst.error, static_cast<unsigned long long>(worst.at),
                100 * worst_above_lc.error, static_cast<unsigned long long>(worst_above_lc.at),
                100 * worst_uncorrected.error, static_cast<unsigned long long>(worst_uncorrected.at), 100 * step / r,
                100 * step_uncorrected / r, 100 * handover_error / r, 100 * handover_lc_error / r, 100 * rms_at_top);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int lo = hllpp::kMinPrecision, hi = hllpp::kMaxPrecision;
    if (argc == 3) lo = std::atoi(argv[1]), hi = std::atoi(argv[2]);
    std::printf(
        "worst mean relative error over n = 1..10m, over n above the linear-counting threshold, and without the\n"
        "bias correction; on the first state past the threshold: mean step from linear counting to the register\n"
        "formula (corrected, uncorrected) and the mean relative error of each there; RMS relative error at 10m\n");
    std::printf("%4s %8s %10s %8s %10s %8s %10s %8s %10s %10s %10s %10s %9s\n", "p", "runs", "worst", "at n", "n>thr",
                "at n", "uncorr.", "at n", "step", "step unc.", "corr.@ho", "lc@ho", "rms");
    for (int p = lo; p <= hi; ++p) measure(static_cast<std::uint8_t>(p));
}
