#pragma once
// The loop "for i in [0, n): if u < d stop at i; u -= d" in floating point,
// evaluated in a number of steps that grows with the number of binary orders
// of magnitude u passes through rather than with n, and exact to the last bit:
// inside one binade every rounded subtraction of the same d takes off the
// same number of units in the last place.
#include <cstdint>

namespace quillo::varopt {

struct Countdown {
    std::uint64_t stopped_at;  // the first i with u < d, or n when there is none
    double rest;               // u at that point
};

Countdown count_down(double u, double d, std::uint64_t n);

}  // namespace quillo::varopt
