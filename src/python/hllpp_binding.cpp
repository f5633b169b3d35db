#include "hll/hllpp_estimator.hpp"
#include "hll/hllpp_sketch.hpp"
#include "hll/hllpp_sparse_sketch.hpp"
#include "python/bounds_binding.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"

namespace quillo::py {
namespace {

using hll::HllPlusPlusSketch;
using hll::HllPlusPlusSparseSketch;

constexpr const char* kUpdateDoc = "Update the sketch with a string item.";
constexpr const char* kUpdateManyDoc = "Update the sketch with every str of a column (nulls skipped).";
constexpr const char* kEstimateDoc = "Estimate the cardinality.";
constexpr const char* kToBytesDoc = "Serialize the sketch to bytes.";
constexpr const char* kFromBytesDoc = "Deserialize the sketch from bytes.";
constexpr const char* kReduceDoc = "Support pickling via the from_bytes reconstructor.";

Description describe(const HllPlusPlusSketch& sketch) {
    return Description().exact("lg_k", sketch.lg_k()).approx("estimate", sketch.estimate());
}

Description describe(const HllPlusPlusSparseSketch& sketch) {
    return Description().exact("lg_k", sketch.lg_k()).approx("estimate", sketch.estimate());
}

}  // namespace

PyTypeObject* build_hllpp_sketch() {
    return Class<HllPlusPlusSketch>("HllPlusPlusSketch", "Python binding for HyperLogLog++ sketch.")
        .constructor<&HllPlusPlusSketch::create, with_default("lg_k", hll::hllpp::kDefaultPrecision)>()
        .repr<&describe>()
        .method<"update", &HllPlusPlusSketch::update, "item">(kUpdateDoc)
        .method<"update_many", &bulk::strings<&HllPlusPlusSketch::update>, "items">(kUpdateManyDoc)
        .method<"estimate", &HllPlusPlusSketch::estimate>(kEstimateDoc)
        .method<"lower_bound", &bounds::lower<HllPlusPlusSketch>, "confidence">(bounds::kLowerDoc)
        .method<"upper_bound", &bounds::upper<HllPlusPlusSketch>, "confidence">(bounds::kUpperDoc)
        .method<"merge", &HllPlusPlusSketch::merge, "other">(
            "Merge another HLL++ sketch into this one (in-place union).")
        .bytes<&HllPlusPlusSketch::to_bytes, &HllPlusPlusSketch::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

PyTypeObject* build_hllpp_sparse_sketch() {
    return Class<HllPlusPlusSparseSketch>("HllPlusPlusSparseSketch", "Python binding for sparse HyperLogLog++ sketch.")
        .constructor<&HllPlusPlusSparseSketch::create, with_default("lg_k", hll::hllpp::kDefaultPrecision)>()
        .repr<&describe>()
        .method<"update", &HllPlusPlusSparseSketch::update, "item">(kUpdateDoc)
        .method<"update_many", &bulk::strings<&HllPlusPlusSparseSketch::update>, "items">(kUpdateManyDoc)
        .method<"estimate", &HllPlusPlusSparseSketch::estimate>(kEstimateDoc)
        .method<"lower_bound", &bounds::lower<HllPlusPlusSparseSketch>, "confidence">(bounds::kLowerDoc)
        .method<"upper_bound", &bounds::upper<HllPlusPlusSparseSketch>, "confidence">(bounds::kUpperDoc)
        .method<"merge", &HllPlusPlusSparseSketch::merge, "other">(
            "Merge another sparse sketch into this one (in-place union).")
        .bytes<&HllPlusPlusSparseSketch::to_bytes, &HllPlusPlusSparseSketch::from_bytes>(kToBytesDoc, kFromBytesDoc,
                                                                                         kReduceDoc)
        .build();
}

}  // namespace quillo::py
