#pragma once
// Every class of the module, in the order of `__all__`: its name and the
// function of its binding file that builds it. The module builds exactly
// these. Binding files are compiled with -Wmissing-declarations, so a build
// function that is not listed here has no declaration and fails the build;
// one listed here but not defined fails the link.
#include "python/frame.hpp"

#define QUILLO_CLASSES(X) \
    X(BloomFilter, build_bloom_filter) \
    X(CountingBloomFilter, build_counting_bloom_filter) \
    X(CountMinSketch, build_count_min) \
    X(CountSketch, build_count_sketch) \
    X(CpcSketch, build_cpc_sketch) \
    X(FrequentStringsSketch, build_frequent_strings) \
    X(HllSketch, build_hll_sketch) \
    X(HllPlusPlusSketch, build_hllpp_sketch) \
    X(HllPlusPlusSparseSketch, build_hllpp_sparse_sketch) \
    X(KllSketch, build_kll_sketch) \
    X(LinearCounter, build_linear_counter) \
    X(HybridCounter, build_hybrid_counter) \
    X(ReservoirSamplerR, build_reservoir_sampler_r) \
    X(ReservoirSamplerA, build_reservoir_sampler_a) \
    X(WeightedReservoirSampler, build_weighted_reservoir_sampler) \
    X(StreamSampler, build_stream_sampler) \
    X(TDigest, build_tdigest) \
    X(StreamingTDigest, build_streaming_tdigest) \
    X(ThetaSketch, build_theta_sketch) \
    X(AodSketch, build_aod_sketch) \
    X(ReqSketch, build_req_sketch) \
    X(TupleSketch, build_tuple_sketch) \
    X(VarOptSketch, build_varopt_sketch) \
    X(HllSketchMode, build_hll_sketch_mode) \
    X(HllUnion, build_hll_union)

namespace quillo::py {

#define QUILLO_DECLARE_BUILD(name, build) PyTypeObject* build();
QUILLO_CLASSES(QUILLO_DECLARE_BUILD)
#undef QUILLO_DECLARE_BUILD

}  // namespace quillo::py
