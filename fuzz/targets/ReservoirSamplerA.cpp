#include "drive.hpp"
#include "sampling/reservoir.hpp"

using quillo::sampling::ReservoirSamplerA;

QUILLO_FUZZ_TARGET(ReservoirSamplerA, true, [](ReservoirSamplerA& s, const ReservoirSamplerA& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [](const ReservoirSamplerA& r) {
        (void)r.sample();
        (void)r.items_seen();
        (void)r.capacity();
        (void)r.is_full();
    };
    queries(s);
    for (int i = 0; i < 50; ++i) tolerate([&] { s.add(feed.items[i % feed.items.size()]); });
    tolerate([&] { s.merge(copy); });
    tolerate([&] { s.merge(ReservoirSamplerA(4)); });
    tolerate([&] {
        ReservoirSamplerA fresh(8);
        fresh.add("fresh");
        fresh.merge(copy);
        queries(fresh);
    });
    queries(s);
    ReservoirSamplerA cleared = copy;
    cleared.clear();
    queries(cleared);
})
