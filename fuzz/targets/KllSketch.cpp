#include "drive.hpp"
#include "quantiles/kll_sketch.hpp"

using quillo::fuzz::kRanks;
using quillo::kll::KllSketch;

namespace {

void exercise(KllSketch& s, const KllSketch& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [&](const KllSketch& k) {
        for (double r : kRanks) tolerate([&] { (void)k.quantile(r); });
        for (double v : feed.values) (void)k.rank(v);
        (void)k.min();
        (void)k.max();
        (void)k.median();
        (void)k.q99();
        (void)k.statistics();
        (void)k.rank_error(0.95);
    };
    queries(s);
    for (int round = 0; round < 40; ++round) {
        for (double v : feed.values) s.update(v + round);
    }
    tolerate([&] { s.merge(copy); });
    tolerate([&] {
        KllSketch fresh(8);
        fresh.merge(copy);
        queries(fresh);
    });
    queries(s);
}

}  // namespace

QUILLO_FUZZ_TARGET(KllSketch, true, exercise)
