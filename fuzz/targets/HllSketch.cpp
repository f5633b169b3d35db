#include "hll/hll_sketch.hpp"
#include "registers.hpp"

QUILLO_FUZZ_TARGET(quillo::hll::HllSketch, true, quillo::fuzz::exercise_registers<quillo::hll::HllSketch, 12>)
