#include "drive.hpp"
#include "hll/hllpp_sketch.hpp"

using quillo::hll::HllPlusPlusSketch;

namespace {

void exercise(HllPlusPlusSketch& s, const HllPlusPlusSketch& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    (void)s.estimate();
    for (const auto& item : feed.items) s.update(item);
    tolerate([&] { s.merge(copy); });
    tolerate([&] { s.merge(HllPlusPlusSketch::create(10)); });
    tolerate([&] {
        HllPlusPlusSketch fresh = HllPlusPlusSketch::create(14);
        fresh.merge(copy);
        (void)fresh.estimate();
    });
    (void)s.estimate();
}

}  // namespace

QUILLO_FUZZ_TARGET(HllPlusPlusSketch, true, exercise)
