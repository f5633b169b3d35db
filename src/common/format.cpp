#include "common/format.hpp"

#include <charconv>
#include <cmath>

namespace quillo {

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Fixed notation of the largest double needs 309 integer digits; the
    // smallest subnormal needs 767 fraction digits.
    char buffer[1100];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

}  // namespace quillo
