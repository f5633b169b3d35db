#include "drive.hpp"
#include "linear/linear_counter.hpp"

using quillo::linear::LinearCounter;

namespace {

void exercise(LinearCounter& s, const LinearCounter& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [](const LinearCounter& c) {
        (void)c.estimate();
        (void)c.fill_ratio();
        (void)c.should_transition_to_hll();
        (void)c.statistics();
        (void)c.memory_usage();
    };
    queries(s);
    for (const auto& item : feed.items) s.update(item);
    tolerate([&] { s.merge(copy); });
    tolerate([&] { s.merge(LinearCounter(s.num_bits())); });
    tolerate([&] {
        LinearCounter fresh(1024);
        fresh.merge(copy);
        queries(fresh);
    });
    queries(s);
    LinearCounter cleared = copy;
    cleared.clear();
    queries(cleared);
}

}  // namespace

QUILLO_FUZZ_TARGET(LinearCounter, true, exercise)
