#include "hll/hllpp_estimator.hpp"
#include "hll/hllpp_sketch.hpp"
#include "hll/hllpp_sparse_sketch.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"

namespace quillo::py {
namespace {

using hll::HllPlusPlusSketch;
using hll::HllPlusPlusSparseSketch;

constexpr const char* kUpdateDoc = "Update the sketch with a string item.";
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
        .method<"estimate", &HllPlusPlusSketch::estimate>(kEstimateDoc)
        .method<"merge", &HllPlusPlusSketch::merge, "other">(
            "Merge another HLL++ sketch into this one (in-place union).")
        .bytes<&HllPlusPlusSketch::to_bytes, &HllPlusPlusSketch::from_bytes>(kToBytesDoc, kFromBytesDoc, kReduceDoc)
        .build();
}

PyTypeObject* build_hllpp_sparse_sketch() {
    return Class<HllPlusPlusSparseSketch>("HllPlusPlusSparseSketch",
                                          "Python binding for sparse HyperLogLog++ sketch.")
        .constructor<&HllPlusPlusSparseSketch::create, with_default("lg_k", hll::hllpp::kDefaultPrecision)>()
        .repr<&describe>()
        .method<"update", &HllPlusPlusSparseSketch::update, "item">(kUpdateDoc)
        .method<"estimate", &HllPlusPlusSparseSketch::estimate>(kEstimateDoc)
        .method<"merge", &HllPlusPlusSparseSketch::merge, "other">(
            "Merge another sparse sketch into this one (in-place union).")
        .bytes<&HllPlusPlusSparseSketch::to_bytes, &HllPlusPlusSparseSketch::from_bytes>(kToBytesDoc, kFromBytesDoc,
                                                                                       kReduceDoc)
        .build();
}

}  // namespace quillo::py
