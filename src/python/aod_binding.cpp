#include "aod/aod_sketch.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"

namespace quillo::py {
namespace {

using aod::AodSketch;

double upper_bound(const AodSketch& sketch, Nullable<double> confidence) {
    return sketch.upper_bound(confidence.value_or(aod::kDefaultConfidence));
}

double lower_bound(const AodSketch& sketch, Nullable<double> confidence) {
    return sketch.lower_bound(confidence.value_or(aod::kDefaultConfidence));
}

Description describe(const AodSketch& sketch) {
    return Description()
        .exact("capacity", sketch.capacity())
        .exact("num_values", sketch.num_values())
        .approx("estimate", sketch.estimate());
}

}  // namespace

PyTypeObject* build_aod_sketch() {
    return Class<AodSketch>("AodSketch", "Python binding for Array of Doubles Sketch.")
        .constructor<&AodSketch::create, with_default("capacity", aod::kDefaultCapacity),
                     with_default("num_values", aod::kDefaultNumValues)>()
        .repr<&describe>()
        .method<"update", &AodSketch::update, "key", "values">("Update the sketch with a key and array of values.")
        .method<"update_many", &bulk::strings_with_rows<&AodSketch::update>, "items", "rows">(
            "Update with every key of a column and its row of values (a 2-D array or a sequence of rows).")
        .method<"estimate", &AodSketch::estimate>("Get estimated number of unique keys.")
        .method<"upper_bound", &upper_bound, "confidence">("Get upper bound estimate with given confidence.")
        .method<"lower_bound", &lower_bound, "confidence">("Get lower bound estimate with given confidence.")
        .method<"theta", &AodSketch::theta>("Get current theta (sampling probability).")
        .method<"is_empty", &AodSketch::is_empty>("Check if sketch is empty.")
        .method<"len", &AodSketch::len>("Get number of entries currently stored.")
        .method<"num_values", &AodSketch::num_values>("Get number of values per entry.")
        .method<"column_sums", &AodSketch::column_sums>(
            "Calculate sum of values for each column across the retained entries (a sample once theta < 1; "
            "not scaled up to the whole stream).")
        .method<"column_means", &AodSketch::column_means>("Calculate mean of values for each column.")
        .method<"union", &AodSketch::union_with, "other">("Union this sketch with another AOD sketch.")
        .method<"compact", &AodSketch::compact>("Create a compact, immutable copy of this sketch.")
        .bytes<&AodSketch::to_bytes, &AodSketch::from_bytes, "bytes">(
            "Serialize sketch to bytes.", "Deserialize sketch from bytes.",
            "Support pickling via the from_bytes reconstructor.")
        .method<"get_entries", &AodSketch::get_entries>("Get entries as list of (hash, values) tuples.")
        .method<"clear", &AodSketch::clear>("Clear the sketch.")
        .method<"statistics", &AodSketch::statistics>("Get sketch statistics as a dictionary.")
        .build();
}

}  // namespace quillo::py
