#pragma once
// The operations of both uniform reservoir samplers, which share one interface.
#include "drive.hpp"

namespace quillo::fuzz {

template <class Sampler>
void exercise_reservoir(Sampler& s, const Sampler& copy, const Feed& feed) {
    const auto queries = [](const Sampler& r) {
        (void)r.sample();
        (void)r.items_seen();
        (void)r.capacity();
        (void)r.is_full();
    };
    queries(s);
    for (int i = 0; i < 50; ++i) tolerate([&] { s.add(feed.items[i % feed.items.size()]); });
    tolerate([&] { s.merge(copy); });
    tolerate([&] { s.merge(Sampler(4)); });
    tolerate([&] {
        Sampler fresh(8);
        fresh.add("fresh");
        fresh.merge(copy);
        queries(fresh);
    });
    queries(s);
    Sampler cleared = copy;
    cleared.clear();
    queries(cleared);
}

}  // namespace quillo::fuzz
