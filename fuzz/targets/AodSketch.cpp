#include "aod/aod_sketch.hpp"
#include "drive.hpp"

using quillo::aod::AodSketch;

namespace {

void exercise(AodSketch& s, const AodSketch& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [](const AodSketch& a) {
        (void)a.estimate();
        tolerate([&] { (void)a.upper_bound(0.95); });
        tolerate([&] { (void)a.lower_bound(0.68); });
        (void)a.column_sums();
        (void)a.column_means();
        (void)a.get_entries();
        (void)a.statistics();
        (void)a.compact().to_bytes();
    };
    queries(s);
    for (const auto& item : feed.items) {
        tolerate([&] { s.update(item, std::vector<double>(s.num_values(), feed.values[item.size() % 8])); });
        tolerate([&] { s.update(item, {1.0}); });
    }
    tolerate([&] { s.union_with(copy); });
    tolerate([&] { s.union_with(AodSketch::create(64, s.num_values())); });
    tolerate([&] {
        AodSketch fresh = AodSketch::create(16, copy.num_values());
        fresh.union_with(copy);
        queries(fresh);
    });
    queries(s);
    AodSketch cleared = copy;
    cleared.clear();
    queries(cleared);
}

}  // namespace

QUILLO_FUZZ_TARGET(AodSketch, true, exercise)
