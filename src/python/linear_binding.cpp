#include "linear/hybrid_counter.hpp"
#include "linear/linear_counter.hpp"
#include "python/bounds_binding.hpp"
#include "python/bulk.hpp"
#include "python/classes.hpp"
#include "python/frame.hpp"

namespace quillo::py {
namespace {

using linear::HybridCounter;
using linear::LinearCounter;

constexpr const char* kUpdateManyDoc = "Update the counter with every str of a column (nulls skipped).";

Description describe(const LinearCounter& counter) {
    return Description().exact("num_bits", counter.num_bits()).approx("estimate", counter.estimate());
}

Description describe(const HybridCounter& counter) {
    return Description()
        .exact("lg_k", counter.lg_k())
        .exact("transition_threshold", counter.transition_threshold())
        .exact("mode", counter.mode())
        .approx("estimate", counter.estimate());
}

}  // namespace

PyTypeObject* build_linear_counter() {
    return Class<LinearCounter>("LinearCounter", "Python binding for Linear Counter.")
        .constructor<&new_state<LinearCounter, std::uint64_t>, "num_bits">()
        .repr<&describe>()
        .static_method<"with_expected_cardinality", &LinearCounter::with_expected_cardinality, "expected_cardinality",
                       "error_rate">("Create a Linear Counter with optimal size for expected cardinality.")
        .method<"update", &LinearCounter::update, "item">("Update the counter with a new item.")
        .method<"update_many", &bulk::strings<&LinearCounter::update>, "items">(kUpdateManyDoc)
        .method<"estimate", &LinearCounter::estimate>("Estimate the cardinality.")
        .method<"lower_bound", &bounds::lower<LinearCounter>, "confidence">(bounds::kLowerDoc)
        .method<"upper_bound", &bounds::upper<LinearCounter>, "confidence">(bounds::kUpperDoc)
        .method<"fill_ratio", &LinearCounter::fill_ratio>("")
        .method<"should_transition_to_hll", &LinearCounter::should_transition_to_hll>(
            "Check if should transition to HyperLogLog.")
        .method<"merge", &LinearCounter::merge, "other">("Merge another Linear Counter into this one.")
        .method<"clear", &LinearCounter::clear>("")
        .method<"statistics", &LinearCounter::statistics>("")
        .bytes<&LinearCounter::to_bytes, &LinearCounter::from_bytes>("", "", "")
        .build();
}

PyTypeObject* build_hybrid_counter() {
    return Class<HybridCounter>("HybridCounter", "Python binding for Hybrid Counter.")
        .constructor<&new_state<HybridCounter, std::uint64_t, std::uint8_t, std::uint64_t>, "linear_bits", "lg_k",
                     "transition_threshold">()
        .repr<&describe>()
        .static_method<"with_range", &HybridCounter::with_range, "max_expected_cardinality">(
            "Create with optimal parameters for expected cardinality range.")
        .method<"update", &HybridCounter::update, "item">("Update the counter with a new item.")
        .method<"update_many", &bulk::strings<&HybridCounter::update>, "items">(kUpdateManyDoc)
        .method<"estimate", &HybridCounter::estimate>("Estimate the cardinality.")
        .method<"lower_bound", &bounds::lower<HybridCounter>, "confidence">(bounds::kLowerDoc)
        .method<"upper_bound", &bounds::upper<HybridCounter>, "confidence">(bounds::kUpperDoc)
        .method<"mode", &HybridCounter::mode>("")
        .method<"statistics", &HybridCounter::statistics>("Get hybrid counter statistics as a dictionary.")
        .bytes<&HybridCounter::to_bytes, &HybridCounter::from_bytes>("", "", "")
        .build();
}

}  // namespace quillo::py
