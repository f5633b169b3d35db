#include "drive.hpp"
#include "theta/theta_sketch.hpp"

using quillo::theta::ThetaSketch;

namespace {

// A stored lg_k gets the table the constructor would build for it, of lazily
// zeroed pages: a large k costs address space, not memory, and a table that
// cannot be had is refused (tests/test_limits.py). Every operation walks the
// whole table, so an input of a few bytes naming a large k would cost the
// fuzzer hundreds of times as much as one of the default k, through the same
// code; legal sizes beyond the default are left to those tests. An lg_k past
// the largest legal one still reaches the decoder, which refuses it.
constexpr std::size_t kLgKOffset = 5;
constexpr std::uint8_t kLargestFuzzedLgK = 12;

bool fuzzed(std::span<const std::uint8_t> input) {
    if (input.size() <= kLgKOffset) return true;
    const std::uint8_t lg_k = input[kLgKOffset];
    return lg_k <= kLargestFuzzedLgK || lg_k > quillo::theta::kMaxLgK;
}

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
    if (!fuzzed({data, size})) return 0;
    return quillo::fuzz::drive<ThetaSketch>(data, size, exercise);
}
