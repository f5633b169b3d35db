#include "drive.hpp"
#include "tuple/tuple_sketch.hpp"

using quillo::tuple::TupleSketch;

namespace {

void exercise(TupleSketch& s, const TupleSketch&, const quillo::fuzz::Feed& feed) {
    (void)s.estimate();
    (void)s.num_retained();
    for (std::size_t i = 0; i < feed.items.size(); ++i) s.update(feed.items[i], feed.values[i]);
    (void)s.estimate();
}

}  // namespace

QUILLO_FUZZ_TARGET(TupleSketch, true, exercise)
