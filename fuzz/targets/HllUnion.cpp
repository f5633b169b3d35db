#include "drive.hpp"
#include "hll/hll_mode_sketch.hpp"
#include "hll/hll_union.hpp"

using quillo::hll::HllSketchMode;
using quillo::hll::HllUnion;

// A decoded coupon set is rebuilt by insertion, so its image need not repeat.
namespace {

void exercise(HllUnion& s, const HllUnion&, const quillo::fuzz::Feed& feed) {
    (void)s.estimate();
    for (const auto& item : feed.items) s.update(item);
    // Sketches in list, set and HLL mode, coarser and finer than the union.
    for (const auto& [lg_k, n] : {std::pair{4, 3}, {10, 2}, {10, 200}, {12, 400}, {21, 1}}) {
        HllSketchMode sketch = HllSketchMode::create(static_cast<std::uint8_t>(lg_k));
        for (int i = 0; i < n; ++i) sketch.update(feed.items[i % feed.items.size()] + std::to_string(i));
        s.update_with_sketch(sketch);
    }
    (void)s.estimate();
}

}  // namespace

QUILLO_FUZZ_TARGET(HllUnion, false, exercise)
