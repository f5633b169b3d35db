#include "hll/hll_sketch.hpp"
#include "python/bounds_binding.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"

namespace quillo::py {
namespace {

using hll::HllSketch;

Description describe(const HllSketch& sketch) {
    return Description().exact("lg_k", sketch.lg_k()).approx("estimate", sketch.estimate());
}

}  // namespace

PyTypeObject* build_hll_sketch() {
    return Class<HllSketch>("HllSketch", "Python binding for HyperLogLog sketch.")
        .constructor<&HllSketch::create, with_default("lg_k", hll::kDefaultLgK)>()
        .repr<&describe>()
        .method<"update", &HllSketch::update, "item">("Update the sketch with a string item.")
        .method<"update_many", &bulk::strings<&HllSketch::update>, "items">(
            "Update the sketch with every str of a column (nulls skipped).")
        .method<"estimate", &HllSketch::estimate>("Estimate the cardinality.")
        .method<"lower_bound", &bounds::lower<HllSketch>, "confidence">(bounds::kLowerDoc)
        .method<"upper_bound", &bounds::upper<HllSketch>, "confidence">(bounds::kUpperDoc)
        .method<"merge", &HllSketch::merge, "other">("Merge another HLL sketch into this one (in-place union).")
        .bytes<&HllSketch::to_bytes, &HllSketch::from_bytes>("Serialize the sketch to bytes.",
                                                             "Deserialize the sketch from bytes.",
                                                             "Support pickling via the from_bytes reconstructor.")
        .build();
}

}  // namespace quillo::py
