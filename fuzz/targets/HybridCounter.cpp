#include "drive.hpp"
#include "linear/hybrid_counter.hpp"

using quillo::linear::HybridCounter;

namespace {

void exercise(HybridCounter& s, const HybridCounter&, const quillo::fuzz::Feed& feed) {
    (void)s.estimate();
    (void)s.mode();
    (void)s.statistics();
    // Enough distinct items to cross a small transition threshold.
    for (int i = 0; i < 64; ++i) s.update(feed.items[i % feed.items.size()] + std::to_string(i));
    (void)s.estimate();
    (void)s.statistics();
}

}  // namespace

QUILLO_FUZZ_TARGET(HybridCounter, true, exercise)
