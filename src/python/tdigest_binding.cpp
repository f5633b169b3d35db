#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"
#include "tdigest/streaming_tdigest.hpp"
#include "tdigest/tdigest.hpp"

namespace quillo::py {
namespace {

using tdigest::StreamingTDigest;
using tdigest::TDigest;

// The values are copied out of Python first, so the digest takes them
// without the GIL.
void add_batch(TDigest& digest, const DoubleBatch& batch) {
    WithoutGil unlocked;
    digest.add_batch(batch.values);
}

Description describe(const TDigest& digest) {
    return Description().exact("compression", digest.compression()).exact("count", digest.count());
}

Description describe(const StreamingTDigest& digest) {
    return Description()
        .exact("compression", digest.compression())
        .exact("buffer_size", digest.buffer_size())
        .exact("count", digest.count());
}

}  // namespace

PyTypeObject* build_tdigest() {
    return Class<TDigest>("TDigest", "Python binding for T-Digest.")
        .constructor<&TDigest::create, "compression">()
        .repr<&describe>()
        .static_method<"with_accuracy", &TDigest::with_accuracy, "target_error">("")
        .method<"add", &TDigest::add, "value">("Add a value to the digest.")
        .method<"add_batch", &add_batch, "values">("Add multiple values to the digest.")
        .method<"quantile", &TDigest::quantile, "q">("Estimate the quantile for a given rank (0.0 to 1.0).")
        .method<"quantiles", &TDigest::quantiles, "qs">("")
        .method<"rank", &TDigest::rank, "value">("Estimate the rank (percentile) of a given value.")
        .method<"ranks", &TDigest::ranks, "values">("Estimate the rank of each value, as rank() does.")
        .method<"cdf", &TDigest::cdf, "split_points">(
            "Estimate the rank at each increasing split point, then 1.0; empty when the digest is.")
        .method<"pmf", &TDigest::pmf, "split_points">(
            "Estimate the share of the stream up to the first increasing split point, between neighbours, and "
            "above the last; empty when the digest is.")
        .method<"merge", &TDigest::merge, "other">("Merge another T-Digest into this one.")
        .method<"trimmed_mean", &TDigest::trimmed_mean, "lower_quantile", "upper_quantile">(
            "Calculate trimmed mean (mean excluding extreme values).")
        .method<"median", &TDigest::median>("")
        .method<"p25", &TDigest::p25>("")
        .method<"p75", &TDigest::p75>("")
        .method<"p90", &TDigest::p90>("")
        .method<"p95", &TDigest::p95>("")
        .method<"p99", &TDigest::p99>("")
        .method<"p999", &TDigest::p999>("")
        .method<"min", &TDigest::min>("")
        .method<"max", &TDigest::max>("")
        .method<"count", &TDigest::count>("")
        .method<"is_empty", &TDigest::is_empty>("")
        .method<"clear", &TDigest::clear>("Clear the digest.")
        .method<"statistics", &TDigest::statistics>("")
        .bytes<&TDigest::to_bytes, &TDigest::from_bytes>("", "", "")
        .build();
}

PyTypeObject* build_streaming_tdigest() {
    return Class<StreamingTDigest>("StreamingTDigest", "Python binding for Streaming T-Digest.")
        .constructor<&StreamingTDigest::create, "compression", "buffer_size">()
        .repr<&describe>()
        .method<"add", &StreamingTDigest::add, "value">("Add a value to the streaming digest.")
        .method<"add_many", &bulk::doubles<&StreamingTDigest::add, bulk::Refusal::possible>, "values">(
            "Add every number of a column (nulls skipped); a NaN refuses the whole column.")
        .method<"flush", &StreamingTDigest::flush>("Flush the buffer into the main digest.")
        .method<"quantile", &StreamingTDigest::quantile, "q">("Get a quantile estimate (automatically flushes buffer).")
        .method<"median", &StreamingTDigest::median>("")
        .method<"p95", &StreamingTDigest::p95>("")
        .method<"p99", &StreamingTDigest::p99>("")
        .method<"statistics", &StreamingTDigest::statistics>("")
        .bytes<&StreamingTDigest::to_bytes, &StreamingTDigest::from_bytes>("", "", "")
        .build();
}

}  // namespace quillo::py
