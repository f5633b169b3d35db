#include "python/bounds_binding.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"
#include "theta/theta_sketch.hpp"

namespace quillo::py {
namespace {

using theta::ThetaSketch;

Description describe(const ThetaSketch& sketch) {
    return Description().exact("k", sketch.k()).approx("estimate", sketch.estimate());
}

}  // namespace

PyTypeObject* build_theta_sketch() {
    return Class<ThetaSketch>("ThetaSketch", "Python binding for Theta sketch.")
        .constructor<&ThetaSketch::create, none_means("k", theta::kDefaultK)>()
        .repr<&describe>()
        .method<"update", &ThetaSketch::update, "item">("Update the sketch with a string item.")
        .method<"update_many", &bulk::strings<&ThetaSketch::update>, "items">(
            "Update the sketch with every str of a column (nulls skipped).")
        .method<"estimate", &ThetaSketch::estimate>("Estimate the cardinality.")
        .method<"lower_bound", &bounds::lower<ThetaSketch>, "confidence">(bounds::kLowerDoc)
        .method<"upper_bound", &bounds::upper<ThetaSketch>, "confidence">(bounds::kUpperDoc)
        .method<"union", &ThetaSketch::union_with, "other">("Union of two sketches, returning a new sketch.")
        .method<"intersect", &ThetaSketch::intersect, "other">("Intersection of two sketches, returning a new sketch.")
        .method<"difference", &ThetaSketch::difference, "other">(
            "Difference of two sketches (self \\ other), returning a new sketch.")
        .method<"sample_capacity", &ThetaSketch::sample_capacity>("Return the sample capacity (heap size).")
        .bytes<&ThetaSketch::to_bytes, &ThetaSketch::from_bytes>(
            "Serialize the sketch to bytes (compact, ordered format).", "Deserialize the sketch from bytes.",
            "Support pickling via the from_bytes reconstructor.")
        .build();
}

}  // namespace quillo::py
