#include "drive.hpp"
#include "hll/hll_sketch.hpp"

using quillo::hll::HllSketch;

namespace {

void exercise(HllSketch& s, const HllSketch& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    for (const auto& item : feed.items) s.update(item);
    (void)s.estimate();
    tolerate([&] { s.merge(copy); });
    tolerate([&] { s.merge(HllSketch::create(s.lg_k())); });
    tolerate([&] { s.merge(HllSketch::create(4)); });
    tolerate([&] {
        HllSketch fresh = HllSketch::create(12);
        fresh.merge(copy);
        (void)fresh.estimate();
    });
    (void)s.estimate();
}

}  // namespace

QUILLO_FUZZ_TARGET(HllSketch, true, exercise)
