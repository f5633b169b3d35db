#include "theta/sample_bounds.hpp"

#include <algorithm>
#include <cmath>

#include "common/confidence.hpp"
#include "theta/hash_table.hpp"

namespace quillo::theta {

// Each of n distinct items falls below theta with chance p = theta, so the
// count c is about Binomial(n, p). The interval is every n for which c lies
// within z standard deviations of n p (a score interval):
// (c - x)^2 = z^2 (1 - p) x with x = n p has the roots
// x = c + a / 2 -+ sqrt(a c + a^2 / 4), a = z^2 (1 - p).
// The lower root never passes c and the upper never falls below it, so the
// bounds bracket c / p; n is at least c, as c distinct hashes were seen.
CountInterval sample_interval(std::uint64_t count, std::uint64_t theta, double confidence) {
    const double z = two_sided_z(confidence);
    const auto c = static_cast<double>(count);
    if (theta == kExactTheta) return {c, c};
    const double p = static_cast<double>(theta) * 0x1p-64;
    const double a = z * z * (1.0 - p);
    const double centre = c + 0.5 * a;
    const double half = std::sqrt(a * c + 0.25 * a * a);
    return {std::max(c, (centre - half) / p), std::max(c / p, (centre + half) / p)};
}

}  // namespace quillo::theta
