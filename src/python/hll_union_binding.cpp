#include "hll/hll_mode_sketch.hpp"
#include "hll/hll_union.hpp"
#include "python/bounds_binding.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"

namespace quillo::py {
namespace {

using hll::HllSketchMode;
using hll::HllUnion;

Description describe(const HllSketchMode& sketch) {
    return Description()
        .exact("lg_k", sketch.gadget().lg_k())
        .exact("mode", sketch.gadget().mode_name())
        .approx("estimate", sketch.estimate());
}

Description describe(const HllUnion& hll_union) {
    return Description().exact("lg_max_k", hll_union.lg_max_k()).approx("estimate", hll_union.estimate());
}

}  // namespace

PyTypeObject* build_hll_sketch_mode() {
    return Class<HllSketchMode>("HllSketchMode", "Python binding for HllSketchMode with List/Set/HLL mode transitions.")
        .constructor<&HllSketchMode::create, with_default("lg_k", hll::kDefaultLgK)>()
        .repr<&describe>()
        .method<"update", &HllSketchMode::update, "item">("")
        .method<"update_many", &bulk::strings<&HllSketchMode::update>, "items">(
            "Update the sketch with every str of a column (nulls skipped).")
        .method<"estimate", &HllSketchMode::estimate>("")
        .method<"lower_bound", &bounds::lower<HllSketchMode>, "confidence">(bounds::kLowerDoc)
        .method<"upper_bound", &bounds::upper<HllSketchMode>, "confidence">(bounds::kUpperDoc)
        .method<"mode", &HllSketchMode::mode>("")
        .method<"is_out_of_order", &HllSketchMode::is_out_of_order>("")
        .method<"memory_usage", &HllSketchMode::memory_usage>("")
        .build();
}

PyTypeObject* build_hll_union() {
    return Class<HllUnion>("HllUnion", "Python binding for HllUnion.")
        .constructor<&HllUnion::create, with_default("lg_max_k", hll::kDefaultLgK)>()
        .repr<&describe>()
        .method<"update", &HllUnion::update, "item">("")
        .method<"update_many", &bulk::strings<&HllUnion::update>, "items">(
            "Update the sketch with every str of a column (nulls skipped).")
        .method<"update_with_sketch", &HllUnion::update_with_sketch, "sketch">("")
        .method<"estimate", &HllUnion::estimate>("")
        .method<"lower_bound", &bounds::lower<HllUnion>, "confidence">(bounds::kLowerDoc)
        .method<"upper_bound", &bounds::upper<HllUnion>, "confidence">(bounds::kUpperDoc)
        .bytes<&HllUnion::to_bytes, &HllUnion::from_bytes>("Serialize the union to bytes.",
                                                           "Deserialize the union from bytes.",
                                                           "Support pickling via the from_bytes reconstructor.")
        .build();
}

}  // namespace quillo::py
