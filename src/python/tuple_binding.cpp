#include "common/normal.hpp"
#include "python/frame.hpp"
#include "tuple/tuple_sketch.hpp"

namespace quillo::py {
namespace {

using tuple::TupleSketch;

TupleSketch make_tuple_sketch(Nullable<std::uint64_t> k) { return TupleSketch::create(k.value_or(theta::kDefaultK)); }

double lower_bound(const TupleSketch& sketch, Nullable<double> confidence) {
    return sketch.lower_bound(confidence.value_or(kDefaultConfidence));
}

double upper_bound(const TupleSketch& sketch, Nullable<double> confidence) {
    return sketch.upper_bound(confidence.value_or(kDefaultConfidence));
}

PyTypeObject* build_tuple_sketch() {
    return Class<TupleSketch>("TupleSketch", "Python binding for Tuple sketch with double summary.")
        .constructor<&make_tuple_sketch, "k">()
        .method<"update", &TupleSketch::update, "item", "value">("Update with item and value.")
        .method<"estimate", &TupleSketch::estimate>("Estimate cardinality.")
        .method<"lower_bound", &lower_bound, "confidence">(
            "Lower bound on the distinct count at the given confidence (None means 0.95).")
        .method<"upper_bound", &upper_bound, "confidence">(
            "Upper bound on the distinct count at the given confidence (None means 0.95).")
        .method<"num_retained", &TupleSketch::num_retained>("Get number of retained entries.")
        .bytes<&TupleSketch::to_bytes, &TupleSketch::from_bytes>("Serialize the sketch to bytes.",
                                                                 "Deserialize the sketch from bytes.",
                                                                 "Support pickling via the from_bytes reconstructor.")
        .build();
}

const Registration tuple_sketch("TupleSketch", &build_tuple_sketch);

}  // namespace
}  // namespace quillo::py
