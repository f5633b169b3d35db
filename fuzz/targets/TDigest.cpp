#include "tdigest/tdigest.hpp"
#include "drive.hpp"

using quillo::fuzz::kRanks;
using quillo::tdigest::TDigest;

namespace {

void exercise(TDigest& s, const TDigest& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [&](const TDigest& t) {
        tolerate([&] { (void)t.quantiles(kRanks); });
        for (double v : feed.values) (void)t.rank(v);
        // A trimmed mean takes a thousand quantiles; the full range reaches
        // both ends and the inside, a reversed one the refusal.
        tolerate([&] { (void)t.trimmed_mean(0.0, 1.0); });
        tolerate([&] { (void)t.trimmed_mean(0.9, 0.1); });
        (void)t.median();
        (void)t.p999();
        (void)t.min();
        (void)t.max();
        (void)t.memory_usage();
        (void)t.statistics();
    };
    queries(s);
    for (double v : feed.values) tolerate([&] { s.add(v); });
    tolerate([&] { s.add_batch(std::vector<double>(300, 2.5)); });
    tolerate([&] { s.merge(copy); });
    tolerate([&] {
        TDigest fresh(10);
        fresh.merge(copy);
        queries(fresh);
    });
    queries(s);
    TDigest cleared = copy;
    cleared.clear();
    queries(cleared);
}

}  // namespace

QUILLO_FUZZ_TARGET(TDigest, true, exercise)
