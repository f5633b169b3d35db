#include <limits>

#include "common/confidence.hpp"
#include "hll/bounds.hpp"
#include "linear/hybrid_counter.hpp"
#include "linear/linear_counter.hpp"

namespace quillo::linear {

namespace {

// Each set bit proves an item, and the clear bits give the occupancy
// estimate; a bitmap with no clear bit left says nothing about how many
// more items came.
CountInterval bitmap_interval(const LinearCounter& counter, double z) {
    const auto set = static_cast<double>(counter.bits_set());
    if (counter.bits_set() == counter.num_bits()) return {counter.estimate(), std::numeric_limits<double>::infinity()};
    return hll::occupancy_interval(set, static_cast<double>(counter.num_bits()), z);
}

CountInterval hybrid_interval(const std::optional<LinearCounter>& linear, const std::optional<hll::HllSketch>& hll,
                              double z) {
    if (linear) return bitmap_interval(*linear, z);
    if (hll) return hll->interval(z);
    return {0.0, 0.0};
}

}  // namespace

double LinearCounter::lower_bound(double confidence) const {
    return bitmap_interval(*this, two_sided_z(confidence)).lower;
}

double LinearCounter::upper_bound(double confidence) const {
    return bitmap_interval(*this, two_sided_z(confidence)).upper;
}

double HybridCounter::lower_bound(double confidence) const {
    return hybrid_interval(linear_, hll_, two_sided_z(confidence)).lower;
}

double HybridCounter::upper_bound(double confidence) const {
    return hybrid_interval(linear_, hll_, two_sided_z(confidence)).upper;
}

}  // namespace quillo::linear
