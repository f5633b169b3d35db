#pragma once
// The confidence-bound methods every distinct counter declares alike, and
// the rank-error bound of the quantile sketches.
#include "common/confidence.hpp"
#include "python/frame.hpp"

namespace quillo::py::bounds {

inline constexpr const char* kLowerDoc = "Lower bound on the distinct count at the given confidence (None means 0.95).";
inline constexpr const char* kUpperDoc = "Upper bound on the distinct count at the given confidence (None means 0.95).";

inline constexpr const char* kRankErrorDoc =
    "Bound on the absolute error of a single rank query, as a fraction of the count, at the given confidence (None "
    "means 0.95).";

template <class Sketch>
double lower(const Sketch& sketch, std::optional<double> confidence) {
    return sketch.lower_bound(confidence.value_or(kDefaultConfidence));
}

template <class Sketch>
double upper(const Sketch& sketch, std::optional<double> confidence) {
    return sketch.upper_bound(confidence.value_or(kDefaultConfidence));
}

template <class Sketch>
double rank_error(const Sketch& sketch, std::optional<double> confidence) {
    return sketch.rank_error(confidence.value_or(kDefaultConfidence));
}

}  // namespace quillo::py::bounds
