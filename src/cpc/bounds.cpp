#include <algorithm>
#include <cmath>

#include "common/confidence.hpp"
#include "common/hip_variance.hpp"
#include "cpc/cpc_sketch.hpp"

namespace quillo::cpc {

namespace {

constexpr int kColumns = 64;

// After t k items, bit (row, c) of the matrix is clear with chance
// exp(-t 2^-(c + 1)), independently (Poisson counts per cell).
double clear_share(double t, int column) { return std::exp(-std::ldexp(t, -(column + 1))); }

// The expected chance that an item sets a new bit: the novelty mass over k.
double novelty_chance(double t) {
    double chance = 0.0;
    for (int c = 0; c < kColumns; ++c) chance += std::ldexp(clear_share(t, c), -(c + 1));
    return chance;
}

// With a Poisson number of items of mean n, the coupon count C has variance
// k sum_c q_c (1 - q_c) (q_c the clear share), of which n p^2 comes from the
// item count itself (C grows by the novelty chance p per item); a fixed n
// leaves the rest. Inverting C, as the coupon-count estimate does, divides
// that by p^2.
double coupon_count_variance(double estimate, double k) {
    const double t = estimate / k;
    double spread = 0.0;
    for (int c = 0; c < kColumns; ++c) {
        const double clear = clear_share(t, c);
        spread += clear * (1.0 - clear);
    }
    const double p = novelty_chance(t);
    return std::max(0.0, k * spread / (p * p) - estimate);
}

CountInterval cpc_interval(const CpcSketch& sketch, bool merged, double z) {
    const double k = std::ldexp(1.0, sketch.lg_k());
    const double estimate = sketch.estimate();
    // Every coupon is a distinct item.
    const auto coupons = static_cast<double>(sketch.coupon_count());
    if (merged) return interval_around(estimate, std::sqrt(coupon_count_variance(estimate, k)), z, coupons);
    static const HipVariance variance(&novelty_chance);
    return interval_around(estimate, std::sqrt(k * variance.per_register(estimate / k)), z, coupons);
}

}  // namespace

double CpcSketch::lower_bound(double confidence) const {
    return cpc_interval(*this, merged_, two_sided_z(confidence)).lower;
}

double CpcSketch::upper_bound(double confidence) const {
    return cpc_interval(*this, merged_, two_sided_z(confidence)).upper;
}

}  // namespace quillo::cpc
