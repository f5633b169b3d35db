#include "python/bounds_binding.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"
#include "quantiles/kll_sketch.hpp"

namespace quillo::py {
namespace {

using kll::KllSketch;

Description describe(const KllSketch& sketch) {
    return Description().exact("k", sketch.k()).exact("count", sketch.count());
}

}  // namespace

PyTypeObject* build_kll_sketch() {
    return Class<KllSketch>("KllSketch", "Python binding for KLL Sketch.")
        .constructor<&KllSketch::create, "k">()
        .repr<&describe>()
        .static_method<"with_accuracy", &KllSketch::with_accuracy, "epsilon", "confidence">(
            "Create a KLL sketch with specified accuracy.")
        .method<"update", &KllSketch::update, "value">("Update the sketch with a new value.")
        .method<"update_many", &bulk::double_runs<&KllSketch::update_batch>, "values">(
            "Update the sketch with every number of a column (nulls skipped).")
        .method<"merge", &KllSketch::merge, "other">("Merge another KLL sketch into this one.")
        .method<"quantile", &KllSketch::quantile, "rank">("Get quantile for the given rank (0.0 to 1.0).")
        .method<"rank", &KllSketch::rank, "value">("Get the rank of a given value (0.0 to 1.0).")
        .method<"quantiles", &KllSketch::quantiles, "ranks">(
            "Get the quantile at each rank (0.0 to 1.0), as quantile() answers it.")
        .method<"ranks", &KllSketch::ranks, "values">("Get the rank of each value, as rank() answers it.")
        .method<"cdf", &KllSketch::cdf, "split_points">(
            "Get the rank at each increasing split point, then 1.0; empty when the sketch is.")
        .method<"pmf", &KllSketch::pmf, "split_points">(
            "Get the share of the stream at or below the first increasing split point, between neighbours, and "
            "above the last; empty when the sketch is.")
        .method<"count", &KllSketch::count>("")
        .method<"is_empty", &KllSketch::is_empty>("")
        .method<"min", &KllSketch::min>("")
        .method<"max", &KllSketch::max>("")
        .method<"median", &KllSketch::median>("")
        .method<"q25", &KllSketch::q25>("")
        .method<"q75", &KllSketch::q75>("")
        .method<"q95", &KllSketch::q95>("")
        .method<"q99", &KllSketch::q99>("")
        .method<"statistics", &KllSketch::statistics>("")
        .method<"rank_error", &bounds::rank_error<KllSketch>, "confidence">(bounds::kRankErrorDoc)
        .bytes<&KllSketch::to_bytes, &KllSketch::from_bytes>("", "", "")
        .build();
}

}  // namespace quillo::py
