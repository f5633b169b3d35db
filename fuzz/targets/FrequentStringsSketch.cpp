#include "drive.hpp"
#include "frequent/frequent_strings_sketch.hpp"

using quillo::frequent::FrequentStringsSketch;

namespace {

void exercise(FrequentStringsSketch& s, const FrequentStringsSketch& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [&](const FrequentStringsSketch& f) {
        (void)f.get_frequent_items(0);
        (void)f.get_frequent_items(3);
        tolerate([&] { (void)f.get_frequent_items_by_fraction(0.1); });
        tolerate([&] { (void)f.get_frequent_items_by_fraction(0.0); });
        (void)f.get_top_k(0);
        (void)f.get_top_k(5);
        for (const auto& item : feed.items) {
            (void)f.get_estimate(item);
            (void)f.get_bounds(item);
        }
        (void)f.is_empty();
        (void)f.get_stream_length();
        (void)f.statistics();
    };
    queries(s);
    for (int i = 0; i < 40; ++i) tolerate([&] { s.update(feed.items[i % feed.items.size()] + std::to_string(i % 7)); });
    tolerate([&] { s.merge(copy); });
    tolerate([&] { s.merge(FrequentStringsSketch(8)); });
    tolerate([&] {
        FrequentStringsSketch fresh(16);
        fresh.merge(copy);
        queries(fresh);
    });
    queries(s);
    FrequentStringsSketch cleared = copy;
    cleared.clear();
    queries(cleared);
}

}  // namespace

QUILLO_FUZZ_TARGET(FrequentStringsSketch, true, exercise)
