#pragma once
// Item hashing: XXH3 with fixed seeds, so equal items hash equally in every
// summary, process and run.
#include <cstdint>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

// XXH3's output is stable from 0.8.0 on; earlier releases hashed differently,
// and every stored image and answer depends on these hashes.
static_assert(XXH_VERSION_NUMBER >= 800, "quillo needs xxHash 0.8.0 or later, whose XXH3 output is stable");

namespace quillo::hash {

inline constexpr std::uint64_t kDefaultSeed = 9001;
inline constexpr std::uint64_t kSecondBloomSeed = 0x517cc1b727220a95ULL;
inline constexpr std::uint64_t kRowStep = 0x9e3779b97f4a7c15ULL;
inline constexpr std::uint64_t kSignBaseSeed = 0xc2b2ae3d27d4eb4fULL;

struct Hash128 {
    std::uint64_t low;
    std::uint64_t high;
};

inline std::uint64_t item_hash(std::string_view bytes, std::uint64_t seed = kDefaultSeed) {
    return XXH3_64bits_withSeed(bytes.data(), bytes.size(), seed);
}

inline Hash128 item_hash128(std::string_view bytes, std::uint64_t seed = kDefaultSeed) {
    XXH128_hash_t h = XXH3_128bits_withSeed(bytes.data(), bytes.size(), seed);
    return {h.low64, h.high64};
}

// Seed of row `row` in the row-based summaries; the arithmetic wraps.
inline constexpr std::uint64_t row_seed(std::uint64_t base, std::uint64_t row) { return base + row * kRowStep; }

}  // namespace quillo::hash
