#pragma once
// Confidence intervals for the HLL-family estimators, each from the spread
// of the estimator that produced the estimate.
#include <cstdint>
#include <span>

#include "common/confidence.hpp"

namespace quillo::hll {

// The running (HIP) estimate `estimate` over m registers, started at `start`
// from a linear counting estimate.
CountInterval hip_interval(double estimate, double m, double z, double start = 0.0);

// register_estimate(registers): linear counting while it answers, else the
// classic formula; near the switch between them, both as one estimator.
CountInterval register_interval(std::span<const std::uint8_t> registers, double z);

// `slots` occupied of m registers, each occupied slot proving an item:
// the occupancy (linear counting) estimate.
CountInterval occupancy_interval(double slots, double m, double z);

// The HLL++ estimate `estimate` at precision p over m registers: linear
// counting up to the precision's threshold, the bias-corrected formula above.
CountInterval hllpp_interval(std::uint8_t p, double m, double estimate, double z);

}  // namespace quillo::hll
