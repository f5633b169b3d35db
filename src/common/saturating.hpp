#pragma once
// Saturating arithmetic for counts that must clamp rather than wrap.
#include <cstdint>
#include <limits>

namespace quillo {

inline constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// A double as an unsigned 64-bit integer, truncated and clamped to the range
// (NaN and negatives give 0).
inline std::uint64_t saturating_u64(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 0x1p64) return kMaxU64;
    return static_cast<std::uint64_t>(x);
}

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? kMaxU64 : sum;
}

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? kMaxU64 : product;
}

}  // namespace quillo
