#include "countmin/count_min_sketch.hpp"
#include "countmin/count_sketch.hpp"
#include "python/bulk.hpp"
#include "python/frame.hpp"

namespace quillo::py {
namespace {

using countmin::CountMinSketch;
using countmin::CountSketch;

constexpr const char* kUpdateManyDoc =
    "Update the count of every str of a column by its count (1 when counts is None); null rows are skipped.";
constexpr const char* kEstimateManyDoc =
    "Estimate the frequency of every str of a column: a list by position, None for null rows.";
constexpr const char* kToBytesDoc = "Serialize the sketch to bytes.";
constexpr const char* kFromBytesDoc = "Deserialize the sketch from bytes.";
constexpr const char* kReduceDoc = "Support pickling via the from_bytes reconstructor.";

CountMinSketch make_count_min(std::uint64_t width, std::uint64_t depth, std::optional<bool> conservative_update) {
    return CountMinSketch(width, depth, conservative_update.value_or(false));
}

CountMinSketch count_min_with_error_bounds(double epsilon, double delta, std::optional<bool> conservative_update) {
    return CountMinSketch::with_error_bounds(epsilon, delta, conservative_update.value_or(false));
}

PyTypeObject* build_count_min() {
    return Class<CountMinSketch>("CountMinSketch", "Python binding for Count-Min Sketch.")
        .constructor<&make_count_min, "width", "depth", "conservative_update">()
        .static_method<"with_error_bounds", &count_min_with_error_bounds, "epsilon", "delta", "conservative_update">(
            "Create a Count-Min sketch with error bounds.")
        .method<"update", &CountMinSketch::update, "item", "count">("Update the count for an item.")
        .method<"update_many", &bulk::strings_with_counts<&CountMinSketch::update, std::uint64_t>, "items", "counts">(
            kUpdateManyDoc)
        .method<"increment", &CountMinSketch::increment, "item">("Increment the count for an item by 1.")
        .method<"estimate", &CountMinSketch::estimate, "item">("Estimate the frequency of an item.")
        .method<"estimate_many", &bulk::query_strings<&CountMinSketch::estimate>, "items">(kEstimateManyDoc)
        .method<"merge", &CountMinSketch::merge, "other">("Merge another Count-Min sketch into this one.")
        .method<"total_count", &CountMinSketch::total_count>("Get the total count of all items.")
        .method<"heavy_hitters", &CountMinSketch::heavy_hitters, "threshold">("Find heavy hitters above threshold.")
        .method<"clear", &CountMinSketch::clear>("Clear the sketch.")
        .method<"statistics", &CountMinSketch::statistics>("Get sketch statistics as a dictionary.")
        .bytes<&CountMinSketch::to_bytes, &CountMinSketch::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

const Registration count_min("CountMinSketch", &build_count_min);

CountSketch make_count_sketch(std::uint64_t width, std::uint64_t depth) { return CountSketch(width, depth); }

PyTypeObject* build_count_sketch() {
    return Class<CountSketch>("CountSketch", "Python binding for Count Sketch.")
        .constructor<&make_count_sketch, "width", "depth">()
        .method<"update", &CountSketch::update, "item", "count">("Update the count for an item.")
        .method<"update_many", &bulk::strings_with_counts<&CountSketch::update, std::int64_t>, "items", "counts">(
            kUpdateManyDoc)
        .method<"estimate", &CountSketch::estimate, "item">("Estimate the frequency of an item.")
        .method<"estimate_many", &bulk::query_strings<&CountSketch::estimate>, "items">(kEstimateManyDoc)
        .bytes<&CountSketch::to_bytes, &CountSketch::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

const Registration count_sketch("CountSketch", &build_count_sketch);

}  // namespace
}  // namespace quillo::py
