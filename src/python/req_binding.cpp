#include "python/bounds_binding.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"
#include "req/req_sketch.hpp"

namespace quillo::py {
namespace {

using req::ReqSketch;

Description describe(const ReqSketch& sketch) {
    return Description().exact("k", sketch.k()).exact("mode", sketch.mode()).exact("count", sketch.count());
}

}  // namespace

PyTypeObject* build_req_sketch() {
    return Class<ReqSketch>("ReqSketch", "Python binding for REQ (Relative Error Quantiles) sketch.")
        .constructor<&ReqSketch::create, "k", "mode">()
        .repr<&describe>()
        .method<"update", &ReqSketch::update, "value">("Update the sketch with a value.")
        .method<"update_many", &bulk::doubles<&ReqSketch::update>, "values">(
            "Update the sketch with every number of a column (nulls skipped).")
        .method<"quantile", &ReqSketch::quantile, "rank">("Get quantile at given rank (0.0 to 1.0).")
        .method<"rank", &ReqSketch::rank, "value">("Get the rank of a value (0.0 to 1.0).")
        .method<"get_cdf", &ReqSketch::get_cdf, "split_points">("Get CDF at split points.")
        .method<"quantiles", &ReqSketch::quantiles, "ranks">(
            "Get the quantile at each rank (0.0 to 1.0), as quantile() answers it.")
        .method<"ranks", &ReqSketch::ranks, "values">("Get the rank of each value, as rank() answers it.")
        .method<"cdf", &ReqSketch::cdf, "split_points">(
            "Get the rank at each increasing split point, then 1.0; empty when the sketch is.")
        .method<"pmf", &ReqSketch::pmf, "split_points">(
            "Get the share of the stream at or below the first increasing split point, between neighbours, and "
            "above the last; empty when the sketch is.")
        .method<"count", &ReqSketch::count>("Total items ingested.")
        .method<"is_empty", &ReqSketch::is_empty>("")
        .method<"mode", &ReqSketch::mode>("")
        .method<"rank_error", &bounds::rank_error<ReqSketch>, "confidence">(bounds::kRankErrorDoc)
        .bytes<&ReqSketch::to_bytes, &ReqSketch::from_bytes>("", "", "")
        .build();
}

}  // namespace quillo::py
