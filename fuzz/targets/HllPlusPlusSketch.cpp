#include "hll/hllpp_sketch.hpp"
#include "registers.hpp"

QUILLO_FUZZ_TARGET(quillo::hll::HllPlusPlusSketch, true,
                   quillo::fuzz::exercise_registers<quillo::hll::HllPlusPlusSketch, 14>)
