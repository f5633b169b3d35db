#include "drive.hpp"
#include "sampling/weighted_reservoir.hpp"

using quillo::sampling::WeightedReservoirSampler;

namespace {

void exercise(WeightedReservoirSampler& s, const WeightedReservoirSampler& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [](const WeightedReservoirSampler& w) {
        (void)w.sample();
        (void)w.sample_with_weights();
        (void)w.total_weight();
        (void)w.capacity();
    };
    queries(s);
    for (std::size_t i = 0; i < 40; ++i) {
        tolerate([&] { s.add_weighted(feed.items[i % feed.items.size()], feed.values[i % feed.values.size()]); });
        tolerate([&] { s.add(feed.items[i % feed.items.size()]); });
    }
    queries(s);
    WeightedReservoirSampler cleared = copy;
    cleared.clear();
    queries(cleared);
}

}  // namespace

QUILLO_FUZZ_TARGET(WeightedReservoirSampler, true, exercise)
