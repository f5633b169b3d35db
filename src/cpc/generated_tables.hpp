#pragma once
// Constant data written by the generators under tools/ (see the headers of
// the generated files for the commands that rebuild them).
#include <array>
#include <cstdint>

namespace quillo::cpc {

inline constexpr std::size_t kCoefficientRows = 23;  // lg_k 4 to 26
inline constexpr std::size_t kCoefficientsPerRow = 20;
// Row (lg_k - 4), lowest degree first.
extern const std::array<double, kCoefficientRows * kCoefficientsPerRow> kCouponCountCoefficients;

inline constexpr std::size_t kPhaseCount = 22;
// Per phase, per byte value: code in the low 12 bits, length in the high 4.
extern const std::array<std::array<std::uint16_t, 256>, kPhaseCount> kByteCodes;

}  // namespace quillo::cpc
