#include "hll/switch_model.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "hll/hll_sketch.hpp"
#include "hll/hllpp_estimator.hpp"

namespace quillo::hll {

namespace {

// A reading answering in fewer than this share of sketches at every count
// of an interval leaves that interval as the other reading gives it.
constexpr double kNegligibleShare = 1e-3;

// The search for a bound steps outwards in log n, from this step doubling
// at each step, until it passes the bound (at most this many times, some
// 1e35 times the estimate: a chance that rounds to 1 is never passed), then
// closes in by regula falsi until the relative width is below the
// tolerance (at most this many times).
constexpr double kFirstLogStep = 0.02;
constexpr int kMaxSearchSteps = 12;
constexpr double kSearchTolerance = 1e-8;
constexpr int kMaxRefinements = 100;

double normal_upper_tail(double x) { return 0.5 * std::erfc(x / std::numbers::sqrt2); }

// The normal quantile of a chance: the chances the bounds compare run
// nearly linearly in log n on this scale, so regula falsi closes in within
// a few steps. Chances a double cannot tell from 0 or 1 read as the
// nearest ones it can.
double probit(double chance) {
    constexpr double kLeast = 1e-300;
    constexpr double kMost = 1.0 - 0x1p-53;
    return normal_quantile(std::clamp(chance, kLeast, kMost));
}

// (x - mean) / sd, infinite on the side of x when the spread vanishes.
double score(double x, double mean, double sd) {
    if (sd > 0.0) return (x - mean) / sd;
    if (x == mean) return 0.0;
    return x > mean ? HUGE_VAL : -HUGE_VAL;
}

// Gauss-Legendre nodes and weights on [0, 1], found once by Newton steps
// on the Legendre polynomial.
constexpr int kQuadraturePoints = 10;

struct Quadrature {
    std::array<double, kQuadraturePoints> nodes;
    std::array<double, kQuadraturePoints> weights;
};

Quadrature gauss_legendre() {
    Quadrature q{};
    constexpr int n = kQuadraturePoints;
    for (int i = 0; i < n; ++i) {
        double x = std::cos(std::numbers::pi * (i + 0.75) / (n + 0.5));
        double derivative = 0.0;
        for (int step = 0; step < 100; ++step) {
            double p = 1.0;
            double previous = 0.0;
            for (int k = 1; k <= n; ++k) {
                const double older = previous;
                previous = p;
                p = ((2.0 * k - 1.0) * x * previous - (k - 1.0) * older) / k;
            }
            derivative = n * (x * p - previous) / (x * x - 1.0);
            const double dx = p / derivative;
            x -= dx;
            if (std::abs(dx) < 1e-15) break;
        }
        q.nodes[i] = 0.5 * (1.0 - x);
        q.weights[i] = 1.0 / ((1.0 - x * x) * derivative * derivative);
    }
    return q;
}

// P(X > h, Y > k) for standard normals with correlation rho in [0, 1):
// the independent product plus the integral of the density over the
// correlation, written in theta = asin(rho) where it is smooth.
double both_above(double h, double k, double rho) {
    if (!std::isfinite(h) || !std::isfinite(k)) return normal_upper_tail(h) * normal_upper_tail(k);
    static const Quadrature q = gauss_legendre();
    const double top = std::asin(rho);
    double integral = 0.0;
    for (int i = 0; i < kQuadraturePoints; ++i) {
        const double s = std::sin(top * q.nodes[i]);
        integral += q.weights[i] * std::exp(-(h * h + k * k - 2.0 * h * k * s) / (2.0 * (1.0 - s * s)));
    }
    return normal_upper_tail(h) * normal_upper_tail(k) + integral * top / (2.0 * std::numbers::pi);
}

}  // namespace

// The empty-register count Z and the register sum S = sum(2^-r) of m
// registers holding n = t m items, as a bivariate normal.
struct RegisterLaw {
    double zeros_mean;
    double zeros_sd;
    double sum_mean;
    double sum_sd;
    double correlation;
};

namespace {

// Kept below 1 for the quadrature; near the switch it is 0.5 to 0.8.
constexpr double kMaxCorrelation = 0.99;

// Register values r above the one where t 2^-r falls below this add
// nothing a double holds to the moments.
constexpr double kNegligibleLoad = 0x1p-40;

// Each register holds a Poisson(t) count of items whose value exceeds r
// with chance 2^-r, so P(R <= r) = exp(-t 2^-r); the fixed total n takes
// away the part of the (co)variances that runs through the item count K
// (cov(f, K) = t dE[f]/dt, var K = t).
RegisterLaw register_law(double t, double m) {
    double mean = 0.0;    // E[2^-R]
    double square = 0.0;  // E[2^-2R]
    double slope = 0.0;   // dE[2^-R]/dt
    double below = 0.0;   // P(R <= r - 1)
    double below_slope = 0.0;
    // w = 2^-r from r = 0 (the empty registers) on.
    for (double w = 1.0; w == 1.0 || (w * t >= kNegligibleLoad && w > 0.0); w *= 0.5) {
        // exp(-t 2^-r) is the square root of the one before.
        const double at_most = below > 0.0 ? std::sqrt(below) : std::exp(-t * w);
        const double at_most_slope = -w * at_most;
        mean += w * (at_most - below);
        square += w * w * (at_most - below);
        slope += w * (at_most_slope - below_slope);
        below = at_most;
        below_slope = at_most_slope;
    }
    const double empty = std::exp(-t);
    const double zeros_var = std::max(0.0, empty * (1.0 - empty) - t * empty * empty);
    const double sum_var = std::max(0.0, square - mean * mean - t * slope * slope);
    const double covariance = empty * (1.0 - mean) + t * empty * slope;
    const double correlation = zeros_var > 0.0 && sum_var > 0.0 ? covariance / std::sqrt(zeros_var * sum_var) : 0.0;
    return {m * empty, std::sqrt(m * zeros_var), m * mean, std::sqrt(m * sum_var),
            std::clamp(correlation, 0.0, kMaxCorrelation)};
}

}  // namespace

SwitchModel::SwitchModel(std::uint64_t registers)
    : m_(static_cast<double>(registers)),
      switch_sum_(hllpp::alpha(registers) * m_ / kLinearCountingLoad),
      formula_numerator_(hllpp::alpha(registers) * m_ * m_) {}

double SwitchModel::linear_share(const RegisterLaw& law) const {
    return normal_upper_tail(score(switch_sum_, law.sum_mean, law.sum_sd));
}

bool SwitchModel::straddles(const CountInterval& interval) const {
    // The linear share falls as the count grows.
    return linear_share(register_law(interval.lower / m_, m_)) > kNegligibleShare &&
           linear_share(register_law(interval.upper / m_, m_)) < 1.0 - kNegligibleShare;
}

double SwitchModel::answer_at_most(double estimate, const RegisterLaw& law) const {
    const double switch_score = score(switch_sum_, law.sum_mean, law.sum_sd);
    // Linear counting answers at most `estimate` when at least this many
    // registers are empty.
    const double empty_needed = m_ * std::exp(-estimate / m_);
    double chance = both_above(switch_score, score(empty_needed, law.zeros_mean, law.zeros_sd), law.correlation);
    // The formula answers at most `estimate` when the sum lies between the
    // one that reads `estimate` and the switch.
    const double sum_needed = formula_numerator_ / estimate;
    if (sum_needed < switch_sum_) {
        chance += normal_upper_tail(score(sum_needed, law.sum_mean, law.sum_sd)) - normal_upper_tail(switch_score);
    }
    return chance;
}

double SwitchModel::excess(double estimate, double n, double tail, bool upper) const {
    const RegisterLaw law = register_law(n / m_, m_);
    const double at_most_n = answer_at_most(n, law);
    double low = tail;
    if (at_most_n < tail) low = at_most_n;
    if (1.0 - at_most_n < tail) low = 2.0 * tail - (1.0 - at_most_n);
    return probit(answer_at_most(estimate, law)) - probit(upper ? low : 1.0 - 2.0 * tail + low);
}

double SwitchModel::count_where(double estimate, double tail, bool upper) const {
    const auto excess_at = [&](double log_n) { return excess(estimate, std::exp(log_n), tail, upper); };
    const auto accepts = [upper](double value) { return upper ? value > 0.0 : value <= 0.0; };
    // The estimate is accepted under n = estimate, often on the edge (when n
    // lies in a tail of its answers): then the bound is the estimate.
    const double direction = upper ? 1.0 : -1.0;
    double near = std::log(estimate) + direction * kSearchTolerance;
    double near_excess = excess_at(near);
    if (!accepts(near_excess)) return estimate;
    // Step outwards until a count rejects it.
    double step = direction * kFirstLogStep;
    double far = near + step;
    double far_excess = excess_at(far);
    for (int i = 0; i < kMaxSearchSteps && accepts(far_excess); ++i) {
        near = far;
        near_excess = far_excess;
        step *= 2.0;
        far += step;
        far_excess = excess_at(far);
    }
    if (accepts(far_excess)) return std::exp(far);
    // Regula falsi between the accepting and the rejecting count (halving
    // while their excesses do not differ in sign), halving the weight of an
    // end kept twice in a row (the Illinois rule) so that both ends close in.
    int kept = 0;
    for (int i = 0; i < kMaxRefinements && std::abs(far - near) > kSearchTolerance; ++i) {
        const bool opposite = (near_excess > 0.0) != (far_excess > 0.0) && near_excess != 0.0;
        const double x =
            opposite ? (near * far_excess - far * near_excess) / (far_excess - near_excess) : 0.5 * (near + far);
        const double x_excess = excess_at(x);
        if (accepts(x_excess)) {
            near = x;
            near_excess = x_excess;
            if (kept == 1) far_excess /= 2.0;
            kept = 1;
        } else {
            far = x;
            far_excess = x_excess;
            if (kept == -1) near_excess /= 2.0;
            kept = -1;
        }
    }
    return std::exp(0.5 * (near + far));
}

CountInterval SwitchModel::interval(double estimate, double z) const {
    const double tail = normal_upper_tail(z);
    const double lower = count_where(estimate, tail, false);
    const double upper = count_where(estimate, tail, true);
    return {std::min(lower, estimate), std::max(upper, estimate)};
}

}  // namespace quillo::hll
