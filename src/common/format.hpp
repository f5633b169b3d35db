#pragma once
// Numbers inside messages: plain decimal text without an exponent, with the
// fewest digits that read back to the same double ("1", "1.5", "0.0000001",
// "NaN", "inf").
#include <string>

namespace quillo {

std::string format_float(double value);

}  // namespace quillo
