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
        .method<"merge", &KllSketch::merge, "other">("Merge another KLL sketch into this one.")
        .method<"quantile", &KllSketch::quantile, "rank">("Get quantile for the given rank (0.0 to 1.0).")
        .method<"rank", &KllSketch::rank, "value">("Get the rank of a given value (0.0 to 1.0).")
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
        .bytes<&KllSketch::to_bytes, &KllSketch::from_bytes>("", "", "")
        .build();
}

}  // namespace quillo::py
