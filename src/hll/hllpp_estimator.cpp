#include "hll/hllpp_estimator.hpp"

#include <algorithm>
#include <cmath>

namespace quillo::hll::hllpp {

namespace {

double threshold(std::uint8_t p) { return kLinearCountingThreshold[p - kMinPrecision]; }

const std::array<double, 256>& inverse_powers_of_two() {
    static const std::array<double, 256> powers = [] {
        std::array<double, 256> out{};
        for (std::size_t v = 0; v < out.size(); ++v) out[v] = std::ldexp(1.0, -static_cast<int>(v));
        return out;
    }();
    return powers;
}

}  // namespace

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
    if (raw > kBiasCorrectedSpan * static_cast<double>(m)) return raw;
    return raw - interpolated_bias(bias_table(p), raw);
}

double linear_counting(std::uint64_t m, double zero_registers) {
    const double size = static_cast<double>(m);
    return size * std::log(size / zero_registers);
}

double estimate(std::uint8_t p, std::uint64_t m, const RegisterCounts& counts) {
    const double corrected = corrected_raw_estimate(p, m, raw_estimate(m, counts));
    if (counts.zero_registers > 0) {
        const double lc = linear_counting(m, counts.zero_registers);
        if (lc <= threshold(p)) return lc;
    }
    return corrected;
}

}  // namespace quillo::hll::hllpp
