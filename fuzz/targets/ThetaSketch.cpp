#include "drive.hpp"
#include "theta/theta_sketch.hpp"

using quillo::theta::ThetaSketch;

namespace {

// A stored lg_k gets the table the constructor would build for it, of lazily
// zeroed pages: a large k costs address space, not memory, and a table that
// cannot be had is refused (tests/test_limits.py). Beyond this size the
// fuzzer's memory limit and its speed would stop the run, so such inputs are
// left to those tests.
constexpr std::size_t kLgKOffset = 5;
constexpr std::uint8_t kLargestFuzzedLgK = 20;

void exercise(ThetaSketch& s, const ThetaSketch& copy, const quillo::fuzz::Feed& feed) {
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kLgKOffset && data[kLgKOffset] > kLargestFuzzedLgK) return 0;
    return quillo::fuzz::drive<ThetaSketch>(data, size, exercise);
}
