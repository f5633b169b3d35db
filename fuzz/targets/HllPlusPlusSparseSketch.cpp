#include "hll/hllpp_sparse_sketch.hpp"
#include "registers.hpp"

using quillo::hll::HllPlusPlusSparseSketch;

// Six passes over the feed fill the update queue of a large table once and
// leave it partly filled for the merges, queries and the image after them.
constexpr int kQueueFillingRounds = 6;

QUILLO_FUZZ_TARGET(HllPlusPlusSparseSketch, true,
                   quillo::fuzz::exercise_registers<HllPlusPlusSparseSketch, 14, kQueueFillingRounds>)
