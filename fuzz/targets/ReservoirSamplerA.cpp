#include "reservoir.hpp"
#include "sampling/reservoir.hpp"

QUILLO_FUZZ_TARGET(quillo::sampling::ReservoirSamplerA, true,
                   quillo::fuzz::exercise_reservoir<quillo::sampling::ReservoirSamplerA>)
