#include "countmin/count_min_sketch.hpp"
#include "drive.hpp"

using quillo::countmin::CountMinSketch;

namespace {

void exercise(CountMinSketch& s, const CountMinSketch& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [&](const CountMinSketch& c) {
        for (const auto& item : feed.items) (void)c.estimate(item);
        (void)c.total_count();
        (void)c.heavy_hitters(0);
        (void)c.heavy_hitters(5);
        (void)c.statistics();
    };
    queries(s);
    for (const auto& item : feed.items) s.update(item, item.size() * 1000003);
    s.update("max", UINT64_MAX);
    s.increment("max");
    tolerate([&] { s.merge(copy); });
    tolerate([&] { s.merge(CountMinSketch(16, 3, false)); });
    tolerate([&] {
        CountMinSketch fresh(64, 4, true);
        fresh.merge(copy);
        queries(fresh);
    });
    queries(s);
    s.clear();
    queries(s);
}

}  // namespace

QUILLO_FUZZ_TARGET(CountMinSketch, true, exercise)
