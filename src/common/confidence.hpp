#pragma once
// Two-sided confidence intervals for estimated counts: the normal quantile
// of a confidence and the interval it spans around an estimate.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/error.hpp"

namespace quillo {

inline constexpr double kDefaultConfidence = 0.95;

// The standard normal quantile at probability p in (0, 1): a rational
// first guess (relative error below 1.2e-9) polished by one Halley step on
// erfc, which brings it to double precision.
inline double normal_quantile(double p) {
    static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,  -2.759285104469687e+02,
                                   1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
    static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                                   6.680131188771972e+01, -1.328068155288572e+01};
    static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                                   -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
    static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                                   3.754408661907416e+00};
    constexpr double kLowTail = 0.02425;
    double x;
    if (p < kLowTail || p > 1.0 - kLowTail) {
        const double q = std::sqrt(-2.0 * std::log(p < kLowTail ? p : 1.0 - p));
        x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
        if (p > 1.0 - kLowTail) x = -x;
    } else {
        const double q = p - 0.5;
        const double r = q * q;
        x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
            (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
    }
    const double e = 0.5 * std::erfc(-x / std::numbers::sqrt2) - p;
    const double u = e * std::sqrt(2.0 * std::numbers::pi) * std::exp(0.5 * x * x);
    return x - u / (1.0 + 0.5 * x * u);
}

// The z for a two-sided interval holding `confidence` of the mass; fails
// unless 0 < confidence < 1 (NaN fails too).
inline double two_sided_z(double confidence) {
    if (!(confidence > 0.0 && confidence < 1.0)) fail("Confidence must be between 0 and 1");
    return normal_quantile(0.5 + 0.5 * confidence);
}

struct CountInterval {
    double lower;
    double upper;
};

// estimate -+ z sd, the lower end kept at `floor` or above (a count the
// state proves) but never above the estimate.
inline CountInterval interval_around(double estimate, double sd, double z, double floor = 0.0) {
    // A decoded state may estimate infinity or NaN; nothing brackets it better.
    if (!std::isfinite(estimate)) return {estimate, estimate};
    return {std::min(estimate, std::max(floor, estimate - z * sd)), estimate + z * sd};
}

}  // namespace quillo
