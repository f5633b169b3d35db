#include "frequent/frequent_strings_sketch.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"

namespace quillo::py {
namespace {

using frequent::FrequentStringsSketch;

// `use_reservoir` must be a bool or None and has no effect.
FrequentStringsSketch make_frequent_strings(std::uint64_t max_map_size, Nullable<bool>) {
    return FrequentStringsSketch(max_map_size);
}

FrequentStringsSketch frequent_strings_with_error_rate(double error_rate, double confidence, Nullable<bool>) {
    return FrequentStringsSketch::with_error_rate(error_rate, confidence);
}

Description describe(const FrequentStringsSketch& sketch) {
    return Description()
        .exact("max_map_size", sketch.max_map_size())
        .exact("stream_length", sketch.get_stream_length());
}

}  // namespace

PyTypeObject* build_frequent_strings() {
    using S = FrequentStringsSketch;
    return Class<S>("FrequentStringsSketch", "Python binding for Frequent Strings Sketch.")
        .constructor<&make_frequent_strings, "max_map_size", "use_reservoir">()
        .repr<&describe>()
        .static_method<"with_error_rate", &frequent_strings_with_error_rate, "error_rate", "confidence",
                       "use_reservoir">("Create with error rate specification.")
        .method<"update", &S::update, "item">("Update the sketch with a new item.")
        .method<"update_many", &bulk::strings<&S::update>, "items">(
            "Update the sketch with every str of a column (nulls skipped).")
        .method<"get_frequent_items", &S::get_frequent_items, "threshold">("Get frequent items above a threshold.")
        .method<"get_frequent_items_by_fraction", &S::get_frequent_items_by_fraction, "threshold_fraction">(
            "Get frequent items above a relative threshold.")
        .method<"get_top_k", &S::get_top_k, "k">("Get the top-k most frequent items.")
        .method<"get_estimate", &S::get_estimate, "item">("Get estimated frequency of a specific item.")
        .method<"get_bounds", &S::get_bounds, "item">("Get frequency bounds for a specific item.")
        .method<"merge", &S::merge, "other">("Merge another sketch into this one.")
        .method<"clear", &S::clear>("Clear the sketch.")
        .method<"is_empty", &S::is_empty>("Check if sketch is empty.")
        .method<"get_stream_length", &S::get_stream_length>("Get the total number of items processed.")
        .method<"statistics", &S::statistics>("Get sketch statistics as a dictionary.")
        .bytes<&S::to_bytes, &S::from_bytes>("Serialize the sketch to bytes.", "Deserialize the sketch from bytes.",
                                             "Support pickling via the from_bytes reconstructor.")
        .build();
}

}  // namespace quillo::py
