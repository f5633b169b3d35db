#include "countmin/count_min_sketch.hpp"
#include "countmin/count_sketch.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
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

Description describe(const CountMinSketch& sketch) {
    return Description()
        .exact("width", sketch.width())
        .exact("depth", sketch.depth())
        .exact("conservative_update", sketch.conservative_update())
        .exact("total_count", sketch.total_count());
}

// Signed counters keep no total of the stream: the sizes say it all.
Description describe(const CountSketch& sketch) {
    return Description().exact("width", sketch.width()).exact("depth", sketch.depth());
}

}  // namespace

PyTypeObject* build_count_min() {
    return Class<CountMinSketch>("CountMinSketch", "Python binding for Count-Min Sketch.")
        .constructor<&new_state<CountMinSketch, std::uint64_t, std::uint64_t, bool>, "width", "depth",
                     with_default("conservative_update", false)>()
        .repr<&describe>()
        .static_method<"with_error_bounds", &CountMinSketch::with_error_bounds, "epsilon", "delta",
                       with_default("conservative_update", false)>("Create a Count-Min sketch with error bounds.")
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

PyTypeObject* build_count_sketch() {
    return Class<CountSketch>("CountSketch", "Python binding for Count Sketch.")
        .constructor<&new_state<CountSketch, std::uint64_t, std::uint64_t>, "width", "depth">()
        .repr<&describe>()
        .method<"update", &CountSketch::update, "item", "count">("Update the count for an item.")
        .method<"update_many", &bulk::strings_with_counts<&CountSketch::update, std::int64_t>, "items", "counts">(
            kUpdateManyDoc)
        .method<"estimate", &CountSketch::estimate, "item">("Estimate the frequency of an item.")
        .method<"estimate_many", &bulk::query_strings<&CountSketch::estimate>, "items">(kEstimateManyDoc)
        .bytes<&CountSketch::to_bytes, &CountSketch::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

}  // namespace quillo::py
