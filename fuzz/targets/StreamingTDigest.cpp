#include "drive.hpp"
#include "tdigest/streaming_tdigest.hpp"

using quillo::fuzz::kRanks;
using quillo::tdigest::StreamingTDigest;

namespace {

void exercise(StreamingTDigest& s, const StreamingTDigest& copy, const quillo::fuzz::Feed& feed) {
    using quillo::fuzz::tolerate;
    const auto queries = [](StreamingTDigest& t) {
        for (double r : kRanks) tolerate([&] { (void)t.quantile(r); });
        (void)t.median();
        (void)t.p95();
        (void)t.p99();
        (void)t.statistics();
    };
    for (double v : feed.values) tolerate([&] { s.add(v); });
    queries(s);
    for (int i = 0; i < 200; ++i) tolerate([&] { s.add(i * 0.5); });
    s.flush();
    queries(s);
    StreamingTDigest unflushed = copy;
    queries(unflushed);
}

}  // namespace

QUILLO_FUZZ_TARGET(StreamingTDigest, true, exercise)
