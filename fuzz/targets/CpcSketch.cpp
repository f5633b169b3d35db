#include "cpc/cpc_sketch.hpp"
#include "registers.hpp"

QUILLO_FUZZ_TARGET(quillo::cpc::CpcSketch, true, quillo::fuzz::exercise_registers<quillo::cpc::CpcSketch, 11>)
