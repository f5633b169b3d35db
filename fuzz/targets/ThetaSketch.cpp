#include "drive.hpp"
#include "theta/theta_sketch.hpp"

using quillo::theta::ThetaSketch;

QUILLO_FUZZ_TARGET(ThetaSketch, true, [](ThetaSketch& s, const ThetaSketch& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    (void)s.estimate();
    (void)s.sample_capacity();
    for (const auto& item : feed.items) s.update(item);
    const ThetaSketch fresh = ThetaSketch::create(64);
    for (const ThetaSketch* other : {&copy, &fresh}) {
        tolerate([&] { (void)s.union_with(*other).estimate(); });
        tolerate([&] { (void)s.intersect(*other).estimate(); });
        tolerate([&] { (void)s.difference(*other).estimate(); });
        tolerate([&] { (void)other->union_with(s).to_bytes(); });
        tolerate([&] { (void)other->intersect(s).to_bytes(); });
        tolerate([&] { (void)other->difference(s).to_bytes(); });
    }
    tolerate([&] { s = s.union_with(copy); });
})
