#include "hll/bounds.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "hll/coupon.hpp"
#include "hll/hll_sketch.hpp"
#include "hll/hllpp_estimator.hpp"
#include "hll/register_error_table.hpp"

namespace quillo::hll {

namespace {

// The upper bound of the classic formula divides by 1 + bias - z spread;
// at extreme confidences on few registers that would reach 0, so the
// divisor stays at this or above (the bound at most 8 times the estimate).
constexpr double kMinRawDivisor = 0.125;

// Linear counting over m registers at load lambda = n / m has variance
// m (e^lambda - lambda - 1).
double occupancy_variance(double estimate, double m) {
    const double lambda = estimate / m;
    return m * (std::expm1(lambda) - lambda);
}

// The chance that an item raises some register when the m registers have
// seen t m items (each register a Poisson(t) count of items whose value
// exceeds r with chance 2^-r): E[2^-R] with P(R <= r) = exp(-t 2^-r).
double change_chance(double t) {
    double chance = 0.0;
    double below = 0.0;  // P(R <= r - 1)
    for (int r = 0; r < 64; ++r) {
        const double at_most = std::exp(-std::ldexp(t, -r));
        chance += std::ldexp(at_most - below, -r);
        below = at_most;
    }
    return chance;
}

// HIP adds 1 / p when an item raises a register with chance p, so each item
// adds 1 / p - 1 to the variance: over n = t m items it is m V(t) with
// V(t) = integral over [0, t] of (1 / p(s) - 1) ds. V is tabulated at
// t = 2^(i / kSteps) and integrated in log t by Simpson's rule; below the
// table p ~ 1 - s / 2, so V ~ t^2 / 4, and above it 1 / p ~ 2 ln 2 s.
constexpr int kSteps = 16;
constexpr int kLowExponent = -12;
constexpr int kHighExponent = 44;
constexpr int kPoints = (kHighExponent - kLowExponent) * kSteps + 1;

double point(int i) { return std::exp2(kLowExponent + static_cast<double>(i) / kSteps); }

std::array<double, kPoints> hip_variance_table() {
    std::array<double, kPoints> v{};
    const double t0 = point(0);
    v[0] = 0.25 * t0 * t0;
    // d/du of V at t = e^u is t (1 / p(t) - 1).
    auto slope = [](double t) { return t * (1.0 / change_chance(t) - 1.0); };
    const double du = std::numbers::ln2 / kSteps;
    for (int i = 1; i < kPoints; ++i) {
        const double a = point(i - 1);
        const double b = point(i);
        const double mid = std::sqrt(a * b);
        v[i] = v[i - 1] + du / 6.0 * (slope(a) + 4.0 * slope(mid) + slope(b));
    }
    return v;
}

double hip_variance_per_register(double t) {
    static const std::array<double, kPoints> table = hip_variance_table();
    if (t <= point(0)) return 0.25 * t * t;
    const double top = point(kPoints - 1);
    if (t >= top) return table[kPoints - 1] + std::numbers::ln2 * (t * t - top * top);
    const double x = (std::log2(t) - kLowExponent) * kSteps;
    const auto i = static_cast<int>(x);
    const double f = x - i;
    // V grows like a power of t: interpolate its logarithm.
    return std::exp((1.0 - f) * std::log(table[i]) + f * std::log(table[i + 1]));
}

// The table entry at load t, interpolated; the ends hold beyond the table.
RawError raw_error_at(double t) {
    const double x = std::log2(t / kRawErrorFirstLoad) * kRawErrorStepsPerDoubling;
    if (!(x > 0.0)) return kRawErrorTable.front();
    if (x >= kRawErrorPoints - 1) return kRawErrorTable.back();
    const auto i = static_cast<std::size_t>(x);
    const double f = x - static_cast<double>(i);
    const RawError& a = kRawErrorTable[i];
    const RawError& b = kRawErrorTable[i + 1];
    return {a.bias + f * (b.bias - a.bias), a.spread + f * (b.spread - a.spread),
            a.corrected_spread + f * (b.corrected_spread - a.corrected_spread)};
}

}  // namespace

CountInterval hip_interval(double estimate, double m, double z) {
    return interval_around(estimate, std::sqrt(m * hip_variance_per_register(estimate / m)), z);
}

CountInterval register_interval(std::span<const std::uint8_t> registers, double z) {
    const double m = static_cast<double>(registers.size());
    const double estimate = register_estimate(registers);
    if (register_estimate_is_linear(registers)) {
        return interval_around(estimate, std::sqrt(occupancy_variance(estimate, m)), z);
    }
    // The formula answers n (1 + bias) with relative deviation spread / sqrt(m);
    // the bounds are the counts whose answer would lie z deviations away.
    const RawError error = raw_error_at(estimate / m);
    const double deviation = z * error.spread / std::sqrt(m);
    const double lower = estimate / (1.0 + error.bias + deviation);
    const double upper = estimate / std::max(kMinRawDivisor, 1.0 + error.bias - deviation);
    return {std::min(lower, estimate), std::max(upper, estimate)};
}

CountInterval occupancy_interval(double slots, double m, double z) {
    const double estimate = -m * std::log1p(-slots / m);
    return interval_around(estimate, std::sqrt(occupancy_variance(estimate, m)), z, slots);
}

CountInterval hllpp_interval(std::uint8_t p, double m, double estimate, double z) {
    if (std::isnan(estimate)) return {estimate, estimate};
    const bool linear = p >= hllpp::kMinPrecision && p <= hllpp::kMaxPrecision &&
                        estimate <= hllpp::kLinearCountingThreshold[p - hllpp::kMinPrecision];
    if (linear) return interval_around(estimate, std::sqrt(occupancy_variance(estimate, m)), z);
    // The correction takes the bias away (and narrows the spread where it
    // moves fastest).
    const double deviation = z * raw_error_at(estimate / m).corrected_spread / std::sqrt(m);
    return {estimate / (1.0 + deviation), estimate / std::max(kMinRawDivisor, 1.0 - deviation)};
}

CountInterval HllSketch::interval(double z) const {
    if (out_of_order_) return register_interval(registers_, z);
    return hip_interval(hip_, static_cast<double>(m_), z);
}

CountInterval CouponGadget::interval(double z) const {
    if (const auto* hll = std::get_if<HllSketch>(&payload_)) {
        return hll->interval(z);
    }
    const double m = std::ldexp(1.0, lg_k_);
    const double slots = static_cast<double>(mode() == GadgetMode::list ? std::get<CouponList>(payload_).size()
                                                                        : std::get<CouponSet>(payload_).count());
    return occupancy_interval(slots, m, z);
}

}  // namespace quillo::hll
