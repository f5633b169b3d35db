#include "drive.hpp"
#include "tdigest/streaming_tdigest.hpp"

using quillo::fuzz::kRanks;
using quillo::tdigest::StreamingTDigest;

namespace {

constexpr std::uint64_t kMostAdds = 200;

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
    // Enough values to fill the buffer once: a decoded buffer size of 1
    // would otherwise merge the digest on each of 200 adds.
    const std::uint64_t adds = std::min<std::uint64_t>(s.buffer_size() + 1, kMostAdds);
    for (std::uint64_t i = 0; i < adds; ++i) tolerate([&] { s.add(static_cast<double>(i) * 0.5); });
    s.flush();
    queries(s);
    StreamingTDigest unflushed = copy;
    queries(unflushed);
}

}  // namespace

QUILLO_FUZZ_TARGET(StreamingTDigest, true, exercise)
