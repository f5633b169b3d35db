#include "hll/bounds.hpp"
#include "hll/hllpp_sketch.hpp"
#include "hll/hllpp_sparse_sketch.hpp"

namespace quillo::hll {

double HllPlusPlusSketch::lower_bound(double confidence) const {
    return hllpp_interval(p_, static_cast<double>(m_), estimate(), two_sided_z(confidence)).lower;
}

double HllPlusPlusSketch::upper_bound(double confidence) const {
    return hllpp_interval(p_, static_cast<double>(m_), estimate(), two_sided_z(confidence)).upper;
}

double HllPlusPlusSparseSketch::lower_bound(double confidence) const {
    return hllpp_interval(p_, static_cast<double>(register_count()), estimate(), two_sided_z(confidence)).lower;
}

double HllPlusPlusSparseSketch::upper_bound(double confidence) const {
    return hllpp_interval(p_, static_cast<double>(register_count()), estimate(), two_sided_z(confidence)).upper;
}

}  // namespace quillo::hll
