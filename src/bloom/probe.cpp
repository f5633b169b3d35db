#include "bloom/probe.hpp"

#include <cmath>
#include <string>

#include "codec/codec.hpp"
#include "common/error.hpp"
#include "common/format.hpp"
#include "common/saturating.hpp"

namespace quillo::bloom {

namespace {

constexpr double kLn2 = 0.6931471805599453;
constexpr double kLn2Squared = 0.4804530139182014;

}  // namespace

Sizing size_for(std::uint64_t capacity, double error_rate) {
    if (capacity == 0) fail("capacity must be greater than 0");
    if (!(error_rate > 0 && error_rate < 1)) fail("error_rate must be in (0, 1), got " + format_float(error_rate));
    const double n = static_cast<double>(capacity);
    const std::uint64_t m = saturating_u64(std::ceil(std::log(error_rate) * n / -kLn2Squared));
    const std::uint64_t k = saturating_u64(std::round(static_cast<double>(m) / n * kLn2));
    return {m, k < 1 ? 1 : k};
}

void check_decoded_shape(std::string_view name, std::uint64_t positions, std::uint64_t hash_functions) {
    const std::string prefix = std::string(name) + " decode failed: ";
    if (positions == 0) codec::corrupt_data(prefix + "no positions");
    // Sizing never gives more hash functions than positions.
    if (hash_functions > positions) {
        codec::corrupt_data(prefix + std::to_string(hash_functions) + " hash functions for " +
                            std::to_string(positions) + " positions");
    }
}

}  // namespace quillo::bloom
