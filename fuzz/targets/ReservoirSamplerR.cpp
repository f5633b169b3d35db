#include "reservoir.hpp"
#include "sampling/reservoir.hpp"

QUILLO_FUZZ_TARGET(quillo::sampling::ReservoirSamplerR, true,
                   quillo::fuzz::exercise_reservoir<quillo::sampling::ReservoirSamplerR>)
