#include "common/format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace quillo {

namespace {

// "d.ddde±x" split into its digits without the point and its exponent.
struct Scientific {
    std::string digits;
    int exponent = 0;
};

Scientific split_scientific(std::string_view text) {
    Scientific out;
    const std::size_t e = text.find('e');
    for (char c : text.substr(0, e)) {
        if (c != '.') out.digits += c;
    }
    std::string_view exponent = text.substr(e + 1);
    if (exponent.front() == '+') exponent.remove_prefix(1);
    std::from_chars(exponent.data(), exponent.data() + exponent.size(), out.exponent);
    return out;
}

}  // namespace

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Scientific notation gives the fewest digits that read back; fixed
    // notation would spell out the exact binary value of large numbers.
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
    const auto [digits, exponent] = split_scientific(std::string_view(buffer, result.ptr));
    // The decimal point goes after this many digits; at 0 or below it goes
    // before them and leading zeros.
    const int point = exponent + 1;
    const int count = static_cast<int>(digits.size());
    std::string out = std::signbit(value) ? "-" : "";
    if (point <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (point >= count) {
        out += digits + std::string(static_cast<std::size_t>(point - count), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace quillo
