#include "varopt/countdown.hpp"

#include <cmath>
#include <limits>

namespace quillo::varopt {

namespace {

constexpr int kMantissaBits = 52;
constexpr int kMinExponent = std::numeric_limits<double>::min_exponent - 1;  // -1022
constexpr std::int64_t kBinadeUnits = std::int64_t{1} << kMantissaBits;

// Where x sits: its binade is [low, high) in units of `ulp`, and x is `units`
// of them. Subnormals and zero share one binade starting at 0.
struct Binade {
    int ulp_exponent;
    std::int64_t units;
    std::int64_t low;
    std::int64_t high;
};

Binade binade_of(double x) {
    if (x < std::numeric_limits<double>::min()) {
        const int e = kMinExponent - kMantissaBits;
        return {e, static_cast<std::int64_t>(std::ldexp(x, -e)), 0, kBinadeUnits};
    }
    const int e = std::ilogb(x) - kMantissaBits;
    return {e, static_cast<std::int64_t>(std::ldexp(x, -e)), kBinadeUnits, 2 * kBinadeUnits};
}

// The number of steps j = 0, 1, ... with whole + fraction <= room - j * step,
// for a fraction in [0, 1).
std::uint64_t steps_within(std::int64_t room, std::int64_t whole, double fraction, std::int64_t step) {
    std::int64_t slack = room - whole;
    if (fraction > 0.0) --slack;
    return slack < 0 ? 0 : static_cast<std::uint64_t>(slack / step) + 1;
}

// How many of the next (at most `limit`) steps u -= d stay inside u's binade,
// and u after them; zero steps when that cannot be told cheaply.
struct Run {
    std::uint64_t steps;
    double u;
};

Run run_within_binade(double u, double d, std::uint64_t limit) {
    if (!(u >= 0.0) || !std::isfinite(u) || !std::isfinite(d) || d == 0.0) return {0, u};
    const Binade b = binade_of(u);
    const double size = std::ldexp(std::fabs(d), -b.ulp_exponent);
    if (!(size < static_cast<double>(b.high))) return {0, u};
    const double whole_units = std::floor(size);
    const double fraction = size - whole_units;
    const auto whole = static_cast<std::int64_t>(whole_units);
    // Each step moves by the rounded size; a size halfway between two units
    // rounds to the even result, which is constant once u's units are even.
    std::int64_t step = fraction < 0.5 ? whole : whole + 1;
    if (fraction == 0.5) {
        if (b.units % 2 != 0) return {0, u};
        step = whole % 2 == 0 ? whole : whole + 1;
    }
    if (step == 0) return {0, u};
    std::uint64_t steps;
    std::int64_t units;
    if (d > 0.0) {
        // Down while the exact difference stays at or above the binade's start.
        steps = std::min(limit, steps_within(b.units - b.low, whole, fraction, step));
        units = b.units - static_cast<std::int64_t>(steps) * step;
    } else {
        // Up while the exact sum stays at least one unit below the next binade.
        steps = std::min(limit, steps_within(b.high - 1 - b.units, whole, fraction, step));
        units = b.units + static_cast<std::int64_t>(steps) * step;
    }
    return {steps, std::ldexp(static_cast<double>(units), b.ulp_exponent)};
}

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

Countdown count_down(double u, double d, std::uint64_t n) {
    std::uint64_t i = 0;
    while (i < n) {
        if (u < d) return {i, u};
        const Run run = run_within_binade(u, d, n - i);
        if (run.steps > 0) {
            u = run.u;
            i += run.steps;
            continue;
        }
        const double next = u - d;
        ++i;
        // Once a step leaves u as it was, so do all the others.
        if (same(next, u)) return {n, next};
        u = next;
    }
    return {n, u};
}

}  // namespace quillo::varopt
