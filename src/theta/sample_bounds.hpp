#pragma once
// Confidence bounds on the distinct count behind a theta sample.
#include <cstdint>

#include "common/confidence.hpp"

namespace quillo::theta {

// `count` hashes kept below the threshold `theta` (a fraction of 2^64, or
// kExactTheta for a sample that kept everything); fails unless
// 0 < confidence < 1.
CountInterval sample_interval(std::uint64_t count, std::uint64_t theta, double confidence);

}  // namespace quillo::theta
