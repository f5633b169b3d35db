#include "hll/hllpp_estimator.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace quillo::hll::hllpp {

namespace {

bool has_bias_table(std::uint8_t p, std::uint64_t m) {
    return p >= kMinPrecision && p <= kMaxPrecision && m == std::uint64_t{1} << p;
}

// Beyond the table, precisions below the minimum share its first threshold and
// those above the maximum have none.
bool has_threshold(std::uint8_t p) { return p <= kMaxPrecision; }

double threshold(std::uint8_t p) { return kLinearCountingThreshold[std::max(p, kMinPrecision) - kMinPrecision]; }

// An impossible decoded state may drive the formulas to infinity; the estimate
// then says "no answer" rather than "infinitely many".
double finite_or_nan(double value) {
    return std::isfinite(value) ? value : std::numeric_limits<double>::quiet_NaN();
}

const std::array<double, 256>& inverse_powers_of_two() {
    static const std::array<double, 256> powers = [] {
        std::array<double, 256> out{};
        for (std::size_t v = 0; v < out.size(); ++v) out[v] = std::ldexp(1.0, -static_cast<int>(v));
        return out;
    }();
    return powers;
}

}  // namespace

Slot slot_of(std::uint64_t hash, std::uint8_t p) {
    const std::uint64_t index = p == 0 ? 0 : (p >= 64 ? hash : hash >> (64 - p));
    const std::uint64_t rest = p >= 64 ? 0 : hash << p;
    const int rho = std::min(std::countl_zero(rest), kMaxRho);
    return {index, static_cast<std::uint8_t>(rho + 1)};
}

double interpolated_bias(const BiasTable& table, double raw) {
    const auto& xs = table.raw;
    if (raw <= xs.front()) return table.bias.front();
    if (raw >= xs.back()) return table.bias.back();
    const std::size_t hi = static_cast<std::size_t>(std::upper_bound(xs.begin(), xs.end(), raw) - xs.begin());
    const std::size_t lo = hi - 1;
    const double t = (raw - xs[lo]) / (xs[hi] - xs[lo]);
    return table.bias[lo] + t * (table.bias[hi] - table.bias[lo]);
}

double raw_estimate(std::uint64_t m, const RegisterCounts& counts) {
    // Smallest terms first, in a fixed order, so equal histograms give equal sums.
    const auto& powers = inverse_powers_of_two();
    double sum = 0.0;
    for (std::size_t v = counts.by_value.size(); v-- > 0;) {
        if (counts.by_value[v] != 0) sum += static_cast<double>(counts.by_value[v]) * powers[v];
    }
    sum += counts.zero_registers;
    const double size = static_cast<double>(m);
    return alpha(m) * size * size / sum;
}

double corrected_raw_estimate(std::uint8_t p, std::uint64_t m, double raw) {
    if (!has_bias_table(p, m) || raw > kBiasCorrectedSpan * static_cast<double>(m)) return raw;
    return raw - interpolated_bias(bias_table(p), raw);
}

double linear_counting(std::uint64_t m, double zero_registers) {
    const double size = static_cast<double>(m);
    return size * std::log(size / zero_registers);
}

double estimate(std::uint8_t p, std::uint64_t m, const RegisterCounts& counts) {
    const double corrected = corrected_raw_estimate(p, m, raw_estimate(m, counts));
    if (counts.zero_registers > 0 && has_threshold(p)) {
        const double lc = linear_counting(m, counts.zero_registers);
        if (lc <= threshold(p)) return finite_or_nan(lc);
    }
    return finite_or_nan(corrected);
}

}  // namespace quillo::hll::hllpp
