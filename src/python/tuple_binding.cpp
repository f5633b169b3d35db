#include "python/bounds_binding.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"
#include "tuple/tuple_sketch.hpp"

namespace quillo::py {
namespace {

using tuple::TupleSketch;

Description describe(const TupleSketch& sketch) {
    return Description().exact("k", sketch.k()).approx("estimate", sketch.estimate());
}

}  // namespace

PyTypeObject* build_tuple_sketch() {
    return Class<TupleSketch>("TupleSketch", "Python binding for Tuple sketch with double summary.")
        .constructor<&TupleSketch::create, none_means("k", theta::kDefaultK)>()
        .repr<&describe>()
        .method<"update", &TupleSketch::update, "item", "value">("Update with item and value.")
        .method<"update_many", &bulk::strings_with_doubles<&TupleSketch::update>, "items", "values">(
            "Update with every item and value of two columns (rows with a null skipped).")
        .method<"estimate", &TupleSketch::estimate>("Estimate cardinality.")
        .method<"lower_bound", &bounds::lower<TupleSketch>, "confidence">(bounds::kLowerDoc)
        .method<"upper_bound", &bounds::upper<TupleSketch>, "confidence">(bounds::kUpperDoc)
        .method<"num_retained", &TupleSketch::num_retained>("Get number of retained entries.")
        .bytes<&TupleSketch::to_bytes, &TupleSketch::from_bytes>("Serialize the sketch to bytes.",
                                                                 "Deserialize the sketch from bytes.",
                                                                 "Support pickling via the from_bytes reconstructor.")
        .build();
}

}  // namespace quillo::py
