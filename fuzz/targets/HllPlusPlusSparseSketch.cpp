#include "drive.hpp"
#include "hll/hllpp_sparse_sketch.hpp"

using quillo::hll::HllPlusPlusSparseSketch;

namespace {

void exercise(HllPlusPlusSparseSketch& s, const HllPlusPlusSparseSketch& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    (void)s.estimate();
    // Enough updates to fill the update queue of a large table once and leave
    // it partly filled for the merges, queries and the image after them.
    for (int round = 0; round < 6; ++round) {
        for (const auto& item : feed.items) s.update(item);
    }
    tolerate([&] { s.merge(copy); });
    tolerate([&] { s.merge(HllPlusPlusSparseSketch::create(10)); });
    tolerate([&] {
        HllPlusPlusSparseSketch fresh = HllPlusPlusSparseSketch::create(14);
        fresh.merge(copy);
        (void)fresh.estimate();
    });
    (void)s.estimate();
}

}  // namespace

QUILLO_FUZZ_TARGET(HllPlusPlusSparseSketch, true, exercise)
