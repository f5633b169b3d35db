#pragma once
// Compressed probabilistic counting. Each item sets one bit of a conceptual
// 2^lg_k x 64 matrix. Few bits live in a pair table (sparse); later an 8-column
// byte window slides right as the matrix fills, and the pair table keeps only
// the bits that differ from what the window position predicts.
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "cpc/pair_table.hpp"

namespace quillo::cpc {

inline constexpr std::uint8_t kDefaultLgK = 11;
inline constexpr std::uint8_t kMinLgK = 4;
inline constexpr std::uint8_t kMaxLgK = 26;
inline constexpr std::uint8_t kWindowWidth = 8;
inline constexpr std::uint8_t kMaxWindowOffset = 56;

// The least novelty mass a sketch with `coupon_count` of its 64 k bits set can
// hold: 2^-64 for every bit still unset. A running mass kept at or above it
// never turns the running estimate negative, infinite or NaN.
inline double least_novelty_mass(std::uint64_t k, std::uint64_t coupon_count) {
    return std::ldexp(static_cast<double>(64 * k - coupon_count), -64);
}

enum class Flavor { empty, sparse, hybrid, pinned, sliding };

const char* flavor_name(Flavor flavor);
Flavor flavor_for(std::uint64_t coupon_count, std::uint8_t lg_k);
// The window offset the update rule keeps for a coupon count.
std::uint8_t offset_for(std::uint64_t coupon_count, std::uint8_t lg_k);

// The coupon-count estimate used once a sketch is the result of a merge.
double coupon_count_estimate(std::uint64_t coupon_count, std::uint8_t lg_k);

using BitMatrix = std::vector<std::uint64_t>;

class CpcSketch {
public:
    // Bytes owned on the heap, for memory accounting.
    std::size_t heap_bytes() const;

    explicit CpcSketch(std::uint8_t lg_k);
    // The constructor with the Python range check.
    static CpcSketch create(std::uint8_t lg_k);

    void update(std::string_view item);
    void update_pair(std::uint32_t pair);
    double estimate() const;
    // Bounds on the distinct count at `confidence` (0 < confidence < 1).
    double lower_bound(double confidence) const;
    double upper_bound(double confidence) const;
    void merge(const CpcSketch& other);

    std::vector<std::uint8_t> to_bytes() const;
    static CpcSketch from_bytes(std::span<const std::uint8_t> data);

    BitMatrix bit_matrix() const;
    Flavor flavor() const { return flavor_for(coupon_count_, lg_k_); }
    std::uint8_t lg_k() const { return lg_k_; }
    std::uint32_t coupon_count() const { return coupon_count_; }
    std::uint8_t window_offset() const { return window_offset_; }
    std::span<const std::uint8_t> window() const { return window_; }
    const PairTable& table() const;

    void mark_merged() { merged_ = true; }
    // The state of a union result built from a full bit matrix.
    static CpcSketch from_bit_matrix(std::uint8_t lg_k, const BitMatrix& matrix);

private:
    std::uint64_t k() const { return std::uint64_t{1} << lg_k_; }
    PairTable& live_table();
    void record_coupon(unsigned column);
    void promote_to_window();
    void move_window();
    // Splits a full matrix at `offset` into the window and the surprising pairs.
    void load_matrix(const BitMatrix& matrix, std::uint8_t offset);

    std::vector<std::uint8_t> window_;
    std::optional<PairTable> table_;
    double novelty_mass_;
    double hip_estimate_ = 0.0;
    std::uint32_t coupon_count_ = 0;
    bool merged_ = false;
    std::uint8_t lg_k_;
    std::uint8_t first_live_column_ = 0;
    std::uint8_t window_offset_ = 0;
};

}  // namespace quillo::cpc
