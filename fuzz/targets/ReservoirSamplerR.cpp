#include "drive.hpp"
#include "sampling/reservoir.hpp"

using quillo::sampling::ReservoirSamplerR;

QUILLO_FUZZ_TARGET(ReservoirSamplerR, true, [](ReservoirSamplerR& s, const ReservoirSamplerR& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [](const ReservoirSamplerR& r) {
        (void)r.sample();
        (void)r.items_seen();
        (void)r.capacity();
        (void)r.is_full();
    };
    queries(s);
    for (int i = 0; i < 50; ++i) tolerate([&] { s.add(feed.items[i % feed.items.size()]); });
    tolerate([&] { s.merge(copy); });
    tolerate([&] { s.merge(ReservoirSamplerR(4)); });
    tolerate([&] {
        ReservoirSamplerR fresh(8);
        fresh.add("fresh");
        fresh.merge(copy);
        queries(fresh);
    });
    queries(s);
    ReservoirSamplerR cleared = copy;
    cleared.clear();
    queries(cleared);
})
