#include "hll/bounds.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/hip_variance.hpp"
#include "hll/coupon.hpp"
#include "hll/hll_sketch.hpp"
#include "hll/hllpp_estimator.hpp"
#include "hll/register_error_table.hpp"
#include "hll/switch_model.hpp"

namespace quillo::hll {

namespace {

// The upper bound of the classic formula divides by 1 + bias less the
// deviation below; at extreme confidences on few registers that would
// reach 0, so the divisor stays at this or above (the bound at most 8
// times the estimate).
constexpr double kMinRawDivisor = 0.125;

// Near the switch from linear counting to the formula, both readings are
// modelled together when, within this many deviations of the answering
// reading, each answers in a share of sketches that matters.
constexpr double kSwitchReachZ = 3.0;

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

// The load whose biased answer is `answered`: where the formula takes over
// from linear counting its bias still falls fast with the load, so the
// table is read where the true count most likely lies rather than where
// the answer does. A few steps of the fixed point settle it.
double unbiased_load(double answered) {
    constexpr int kSteps = 3;
    double load = answered;
    for (int i = 0; i < kSteps; ++i) load = answered / (1.0 + raw_error_at(load).bias);
    return load;
}

// How far below and above its bias the formula's relative error may lie
// in an interval holding the share of a normal error within z deviations.
struct Deviations {
    double below;
    double above;
};

// z sd on both sides, unless the bias exceeds that: to bracket the
// estimate the interval must then reach it, a deviation of the whole bias
// on one side, so the other side narrows until the interval holds the
// same share of a normal error as z sd on both sides would.
Deviations raw_deviations(double bias, double sd, double z) {
    const double symmetric = z * sd;
    if (!(std::abs(bias) > symmetric)) return {symmetric, symmetric};
    const double share = std::erf(z / std::numbers::sqrt2);
    const double beyond_estimate = 0.5 * std::erfc(std::abs(bias) / sd / std::numbers::sqrt2);
    const double far = sd * normal_quantile(share + beyond_estimate);
    if (bias > 0.0) return {bias, far};
    return {far, -bias};
}

// The interval of the reading that answered (linear counting or the
// formula), as if it always answered.
CountInterval answering_reading_interval(double m, double estimate, bool linear, double z) {
    if (linear) {
        return interval_around(estimate, std::sqrt(occupancy_variance(estimate, m)), z);
    }
    // The formula answers n (1 + bias) with relative deviation spread / sqrt(m);
    // the bounds are the counts whose answer would lie that far away.
    const RawError error = raw_error_at(unbiased_load(estimate / m));
    const Deviations d = raw_deviations(error.bias, error.spread / std::sqrt(m), z);
    const double lower = estimate / (1.0 + error.bias + d.above);
    const double upper = estimate / std::max(kMinRawDivisor, 1.0 + error.bias - d.below);
    return {std::min(lower, estimate), std::max(upper, estimate)};
}

}  // namespace

CountInterval hip_interval(double estimate, double m, double z, double start) {
    static const HipVariance variance(&change_chance);
    // The items before `start` add the variance of the estimate HIP started
    // from, not their own.
    const double added = m * std::max(0.0, variance.per_register(estimate / m) - variance.per_register(start / m));
    return interval_around(estimate, std::sqrt(added + occupancy_variance(start, m)), z);
}

CountInterval register_interval(std::span<const std::uint8_t> registers, double z) {
    const double m = static_cast<double>(registers.size());
    const double estimate = register_estimate(registers);
    const bool linear = register_estimate_is_linear(registers);
    // Whether the model applies depends on the state alone, so that the
    // intervals of one state widen with the confidence.
    const SwitchModel model(registers.size());
    if (model.straddles(answering_reading_interval(m, estimate, linear, kSwitchReachZ))) {
        return model.interval(estimate, z);
    }
    return answering_reading_interval(m, estimate, linear, z);
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
    const double m = std::ldexp(1.0, lg_k_);
    if (const auto* hll = std::get_if<HllSketch>(&payload_)) {
        if (hll->out_of_order()) return hll->interval(z);
        // Filled in order, the running total restarted from the list's or
        // set's estimate at the promotion and carries its variance.
        return hip_interval(hll->hip(), m, z, promotion_estimate(lg_k_));
    }
    const double slots = static_cast<double>(mode() == GadgetMode::list ? std::get<CouponList>(payload_).size()
                                                                        : std::get<CouponSet>(payload_).count());
    return occupancy_interval(slots, m, z);
}

}  // namespace quillo::hll
