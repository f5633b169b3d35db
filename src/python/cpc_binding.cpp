#include "cpc/cpc_sketch.hpp"
#include "python/bounds_binding.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"

namespace quillo::py {
namespace {

using cpc::CpcSketch;

Description describe(const CpcSketch& sketch) {
    return Description().exact("lg_k", sketch.lg_k()).approx("estimate", sketch.estimate());
}

}  // namespace

PyTypeObject* build_cpc_sketch() {
    return Class<CpcSketch>("CpcSketch", "Python binding for CPC sketch.")
        .constructor<&CpcSketch::create, with_default("lg_k", cpc::kDefaultLgK)>()
        .repr<&describe>()
        .method<"update", &CpcSketch::update, "item">("Update the sketch with a string item.")
        .method<"update_many", &bulk::strings<&CpcSketch::update>, "items">(
            "Update the sketch with every str of a column (nulls skipped).")
        .method<"estimate", &CpcSketch::estimate>("Estimate the cardinality.")
        .method<"lower_bound", &bounds::lower<CpcSketch>, "confidence">(bounds::kLowerDoc)
        .method<"upper_bound", &bounds::upper<CpcSketch>, "confidence">(bounds::kUpperDoc)
        .method<"merge", &CpcSketch::merge, "other">("Merge another CPC sketch into this one (in-place union).")
        .bytes<&CpcSketch::to_bytes, &CpcSketch::from_bytes>("Serialize the sketch to bytes.",
                                                             "Deserialize the sketch from bytes.",
                                                             "Support pickling via the from_bytes reconstructor.")
        .build();
}

}  // namespace quillo::py
