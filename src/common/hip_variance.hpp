#pragma once
// The variance of a running (HIP) estimate. HIP adds 1 / p when an item
// changes the state with chance p, so each item adds 1 / p - 1 to the
// variance: over n = t m items (m registers or rows) it is m V(t) with
// V(t) = integral over [0, t] of (1 / p(s) - 1) ds, p taken at its expected
// value for the load s. V is tabulated once per sketch family at
// t = 2^(i / kSteps), integrated in log t by Simpson's rule; below the table
// the integrand grows linearly (V ~ t^2), above it 1 / p grows linearly.
#include <array>
#include <cmath>
#include <numbers>

namespace quillo {

class HipVariance {
public:
    // `chance(t)`: the expected chance that an item changes the state after
    // t items per register.
    explicit HipVariance(double (*chance)(double)) {
        // d/du of V at t = e^u is t (1 / p(t) - 1).
        auto slope = [chance](double t) { return t * (1.0 / chance(t) - 1.0); };
        table_[0] = 0.5 * slope(point(0));
        const double du = std::numbers::ln2 / kSteps;
        for (int i = 1; i < kPoints; ++i) {
            const double a = point(i - 1);
            const double b = point(i);
            table_[i] = table_[i - 1] + du / 6.0 * (slope(a) + 4.0 * slope(std::sqrt(a * b)) + slope(b));
        }
        const double top = point(kPoints - 1);
        growth_ = 1.0 / (chance(top) * top);
    }

    // V(t) for t >= 0; NaN for NaN.
    double per_register(double t) const {
        const double bottom = point(0);
        if (!(t > bottom)) return table_[0] * (t / bottom) * (t / bottom);
        const double top = point(kPoints - 1);
        if (t >= top) return table_[kPoints - 1] + 0.5 * growth_ * (t * t - top * top);
        const double x = (std::log2(t) - kLowExponent) * kSteps;
        const auto i = static_cast<int>(x);
        const double f = x - i;
        // V grows like a power of t: interpolate its logarithm.
        return std::exp((1.0 - f) * std::log(table_[i]) + f * std::log(table_[i + 1]));
    }

private:
    static constexpr int kSteps = 16;
    static constexpr int kLowExponent = -12;
    static constexpr int kHighExponent = 44;
    static constexpr int kPoints = (kHighExponent - kLowExponent) * kSteps + 1;

    static double point(int i) { return std::exp2(kLowExponent + static_cast<double>(i) / kSteps); }

    std::array<double, kPoints> table_{};
    double growth_;  // 1 / p over t beyond the table
};

}  // namespace quillo
